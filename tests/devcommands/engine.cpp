#include "tests/devcommands/engine.h"

#include <gtest/gtest.h>

#include "tests/devcommands/capture.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"

namespace devcommands::testing {
namespace {

using Entry = std::function<int(int, const WCHAR* const*)>;

EngineRun RunOnMachine(const Entry& entry, const std::vector<std::wstring>& args,
                       const std::function<void()>& setup, const std::function<void()>& check) {
  std::vector<const WCHAR*> argv{kProgram};
  for (const std::wstring& arg : args) argv.push_back(arg.c_str());
  EngineRun run{-1, "", ""};
  winsim::kernel::Run(0, [&] {
    if (setup) setup();
    Captured captured =
        CaptureOutput([&] { run.result = entry(static_cast<int>(argv.size()), argv.data()); });
    run.out = captured.out;
    run.err = captured.err;
    if (check) check();
    EXPECT_EQ(winsim::machine::OpenDeviceInfoSets(), 0) << "device information set left open";
    winsim::kernel::CheckCleanMachine();
  });
  return run;
}

// PrintMessage's rule: trailing line breaks become one line feed.
std::wstring AsPrinted(std::wstring text) {
  size_t end = text.find_last_not_of(L"\r\n") + 1;  // 0 when all are breaks
  if (end < text.size()) text.replace(end, std::wstring::npos, L"\n");
  return text;
}

// Catalogue message `id` formatted with an argument array, as printed.
std::string FormatCatalogue(DWORD id, std::vector<DWORD_PTR> arguments) {
  std::wstring text;
  auto format = [&] {
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0,
                                  reinterpret_cast<va_list*>(arguments.data()));
    if (length == 0) return;
    text.assign(buffer, length);
    LocalFree(buffer);
  };
  if (winsim::host::Current() != nullptr) {
    format();
  } else {
    winsim::kernel::Run(0, format);
  }
  EXPECT_FALSE(text.empty()) << "the catalogue has no text for message " << id;
  return Utf8(AsPrinted(text));
}

}  // namespace

EngineRun RunEngine(const std::vector<std::wstring>& args, const std::function<void()>& setup,
                    const std::function<void()>& check) {
  return RunOnMachine(RunDeviceCommand, args, setup, check);
}

EngineRun RunTable(const CommandEntry* table, const std::vector<std::wstring>& args,
                   const std::function<void()>& setup, const std::function<void()>& check) {
  auto entry = [table](int argc, const WCHAR* const* argv) {
    return DispatchCommand(table, argc, argv);
  };
  return RunOnMachine(entry, args, setup, check);
}

std::vector<winsim::machine::RestartRequest> TakeRestartRequests() {
  return winsim::machine::RestartRequests();
}

void ExpectEngineRestart(const winsim::machine::RestartRequest& request) {
  EXPECT_EQ(request.function, L"InitiateSystemShutdownExW");
  EXPECT_EQ(request.reason, 0x80010002u) << "planned, hardware, installation";
  EXPECT_EQ(request.timeout, 0u);
  EXPECT_FALSE(request.forceAppsClosed);
  EXPECT_TRUE(request.reboot);
  EXPECT_EQ(request.message, L"");
}

std::string Message(DWORD id, const std::vector<std::wstring>& inserts) {
  std::vector<DWORD_PTR> arguments;
  for (const std::wstring& insert : inserts) {
    arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
  }
  return FormatCatalogue(id, arguments);
}

std::string Message(DWORD id, DWORD number) { return FormatCatalogue(id, {number}); }

}  // namespace devcommands::testing
