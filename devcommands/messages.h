// Catalogue messages and indentation for the engine's reports. Texts come from
// the message table of the module that hosts the engine; a missing text prints
// nothing.
#pragma once
#include <cstdio>

#include "platform/win32.h"

namespace devcommands {

// Dispatcher and help messages; the other ids are named where they are used.
constexpr DWORD MSG_NO_SUCH_COMMAND = 60000;  // base name
constexpr DWORD MSG_COMMAND_FAILED = 60001;   // base name, command
constexpr DWORD MSG_COMMAND_USAGE = 60002;    // base name, command
constexpr DWORD MSG_HELP_HEADER = 60100;      // base name, command or ""
constexpr DWORD MSG_HELP_UNKNOWN = 60102;     // base name, word given
constexpr DWORD MSG_REBOOTING = 60802;

// Formats message `id` with the inserts that follow (wide strings and DWORDs,
// in insert order) and writes it to `stream`. Trailing line breaks become
// exactly one line feed; a text without one stays without one.
void PrintMessage(FILE* stream, DWORD id, ...);

// Writes `level` indentation units ("    ") to standard output.
void PrintIndent(int level);

}  // namespace devcommands
