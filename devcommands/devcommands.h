// The device command engine: console-style device-management commands over
// the platform's device installation services. One call runs one command.
#pragma once
#include "platform/win32.h"

// Result codes of every command, returned unchanged by RunDeviceCommand.
constexpr int RESULT_SUCCESS = 0;        // done, or nothing to do
constexpr int RESULT_REBOOT_NEEDED = 1;  // done; a change completes after a restart
constexpr int RESULT_FAILURE = 2;        // a platform call failed, or memory ran out
constexpr int RESULT_BAD_USAGE = 3;      // no, unknown or misused command

// Runs the command named in argv as a console tool's main would: argv[0] is
// the program's path (only its base name is used), then options, the command
// word and the command's arguments. Keeps no state between calls and never
// writes to the argument strings.
int RunDeviceCommand(int argc, const WCHAR* const* argv);
