// Running the engine on a fresh simulated machine and reading what it printed.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "devcommands/commands.h"
#include "winsim/machine/settings.h"

namespace devcommands::testing {

inline constexpr wchar_t kProgram[] = L"C:\\Program Files\\Korv\\korvctl.exe";
inline constexpr wchar_t kBaseName[] = L"korvctl.exe";

struct EngineRun {
  int result;
  std::string out;
  std::string err;
};

// `args` follow the program path. `setup` prepares the machine inside the
// run; `check` looks at it after the command, before the clean-machine check.
EngineRun RunEngine(const std::vector<std::wstring>& args,
                    const std::function<void()>& setup = nullptr,
                    const std::function<void()>& check = nullptr);

// The same through DispatchCommand over a table of the test's own.
EngineRun RunTable(const CommandEntry* table, const std::vector<std::wstring>& args,
                   const std::function<void()>& setup = nullptr,
                   const std::function<void()>& check = nullptr);

// Restart requests the command made (read inside `check`, since every run
// starts with none); a request must be the engine's one kind of restart.
std::vector<winsim::machine::RestartRequest> TakeRestartRequests();
void ExpectEngineRestart(const winsim::machine::RestartRequest& request);

// Catalogue message `id` with string inserts, as PrintMessage writes it. A
// missing text fails the calling test.
std::string Message(DWORD id, const std::vector<std::wstring>& inserts = {});
// The same with one number as its insert.
std::string Message(DWORD id, DWORD number);

}  // namespace devcommands::testing
