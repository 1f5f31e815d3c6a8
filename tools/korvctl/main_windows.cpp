// korvctl for Windows: the process's arguments to the device command engine,
// its result as the exit code.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "devcommands/devcommands.h"

int wmain(int argc, wchar_t** argv) {
  // In the C runtime's default locale a wide write stops at the first
  // character outside ASCII, and device names and ids may have them.
  _setmode(_fileno(stdout), _O_U8TEXT);
  _setmode(_fileno(stderr), _O_U8TEXT);
  return RunDeviceCommand(argc, argv);
}
