// Argument vectors for RunDeviceCommand. Bytes become wide characters (bytes
// from 0x80 up stand for characters whose case a locale-aware fold would
// change); a line feed separates arguments. The engine must return one of
// the four result codes, leave the arguments as they were, and answer
// "help" with success.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devcommands/devcommands.h"
#include "winsim/kernel/sim.h"

namespace {

const wchar_t kTricky[] = {L'\u212A', L'\u017F', L'\u0130', L'\u00E9',
                           L'\u00C9', L'\u00DF', L'\uFF0D', L'\u2044'};

std::vector<std::wstring> Arguments(const uint8_t* data, size_t size) {
  std::vector<std::wstring> args{L"C:\\fuzz\\korvctl.exe"};
  std::wstring current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      args.push_back(current);
      current.clear();
    } else if (data[i] >= 0x80) {
      current += kTricky[data[i] % (sizeof(kTricky) / sizeof(kTricky[0]))];
    } else if (data[i] != 0) {
      current += static_cast<wchar_t>(data[i]);
    }
  }
  args.push_back(current);
  return args;
}

// The command word the dispatcher will see, after the options it takes.
bool NamesHelp(const std::vector<std::wstring>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    bool option = a.size() >= 2 && (a[0] == L'-' || a[0] == L'/');
    if (!option) return a == L"help";
    wchar_t letter = a[1] | 0x20;
    bool taken = (a.size() == 2 && (letter == L'f' || letter == L'r')) ||
                 (letter == L'm' && a.size() > 3 && a[2] == L':');
    if (!taken) return a.substr(1) == L"help";
  }
  return false;
}

// Nobody reads the engine's reports here; the sanitizers and the checks do
// the work.
FILE* g_sink = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_sink == nullptr) g_sink = fopen("/dev/null", "w");
  const std::vector<std::wstring> args = Arguments(data, size);
  const std::vector<std::wstring> before = args;
  std::vector<const WCHAR*> argv;
  for (const std::wstring& arg : args) argv.push_back(arg.c_str());

  int result = -1;
  FILE* out = stdout;
  FILE* err = stderr;
  stdout = stderr = g_sink;
  winsim::kernel::Run(0, [&] {
    result = RunDeviceCommand(static_cast<int>(argv.size()), argv.data());
    winsim::kernel::CheckCleanMachine();
  });
  stdout = out;
  stderr = err;

  if (result < RESULT_SUCCESS || result > RESULT_BAD_USAGE) abort();
  if (args != before) abort();
  if (NamesHelp(args) && result != RESULT_SUCCESS) abort();
  return 0;
}
