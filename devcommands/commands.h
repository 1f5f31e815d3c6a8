// The command table and the dispatcher over it.
#pragma once
#include "devcommands/devcommands.h"

namespace devcommands {

// Option flags passed to every handler.
constexpr DWORD COMMAND_FLAG_FORCE = 0x00000001;

// baseName: program name without its directory; machine: target machine or
// null for the local one; args: the argc arguments after the command word.
using CommandHandler = int (*)(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                               const WCHAR* const* args);

struct CommandEntry {
  const WCHAR* name;  // null ends the table
  CommandHandler handler;
  DWORD summaryMessageId;  // line in the general help; 0: not listed
  DWORD detailMessageId;   // help of this command; 0: none
};

// The engine's commands, in help order.
extern const CommandEntry kCommandTable[];

// The first row of `table` whose name equals `word`, ignoring ASCII case; null
// when there is none.
const CommandEntry* FindCommand(const CommandEntry* table, const WCHAR* word);

// RunDeviceCommand over any table, so the dispatcher can be exercised with
// handlers of a test's choosing.
int DispatchCommand(const CommandEntry* table, int argc, const WCHAR* const* argv);

// Handlers of this file's family.
int HelpCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                const WCHAR* const* args);
int RebootCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                  const WCHAR* const* args);
int ClassesCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                   const WCHAR* const* args);

// Device-changing commands (device_actions.cpp).
int EnableCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                  const WCHAR* const* args);
int DisableCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                   const WCHAR* const* args);
int RestartCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                   const WCHAR* const* args);
int RemoveCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                  const WCHAR* const* args);

// Driver package commands (driver_packages.cpp, driver_package_list.cpp).
int DpAddCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                 const WCHAR* const* args);
int DpDeleteCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                    const WCHAR* const* args);
int DpEnumCommand(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                  const WCHAR* const* args);

// Asks the platform to restart the local machine; true when it accepted.
bool RequestReboot();

}  // namespace devcommands
