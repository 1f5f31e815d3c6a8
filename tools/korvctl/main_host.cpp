// korvctl on the host: the same engine over the stand-in, run on a fresh
// simulated machine. Arguments arrive as UTF-8 and are handed on as wide
// strings; the engine's result is the exit code.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devcommands/devcommands.h"
#include "winsim/kernel/sim.h"

namespace {

bool Widen(const char* text, std::wstring* wide) {
  size_t length = mbstowcs(nullptr, text, 0);
  if (length == static_cast<size_t>(-1)) return false;
  wide->resize(length);
  mbstowcs(wide->data(), text, length + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_CTYPE, "C.UTF-8");
  std::vector<std::wstring> args(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    if (!Widen(argv[i], &args[static_cast<size_t>(i)])) {
      fprintf(stderr, "korvctl: argument %d is not valid UTF-8\n", i);
      return RESULT_BAD_USAGE;
    }
  }
  std::vector<const WCHAR*> vector;
  for (const std::wstring& arg : args) vector.push_back(arg.c_str());

  int result = RESULT_FAILURE;
  winsim::kernel::Run(0, [&] { result = RunDeviceCommand(argc, vector.data()); });
  return result;
}
