// The simulated machine's settings and records that tests and the simulator
// set and read: the version it reports, its current and temporary
// directories, the privileges of the program's token, and the restart
// requests programs made. Every run starts from the defaults below and
// they return to them after it.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/machine is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <string>
#include <vector>

#include "winsim/user/types.h"

namespace winsim::machine {

// ---- version (GetVersionExW) ----------------------------------------------------

struct Version {
  DWORD major = 6;
  DWORD minor = 1;
  DWORD build = 7601;
  DWORD platformId = 2;  // VER_PLATFORM_WIN32_NT
  std::wstring servicePack = L"Service Pack 1";
  WORD servicePackMajor = 1;
  WORD servicePackMinor = 0;
};
// What the platform reports to the program (for a program whose manifest
// declares no supported versions, a later Windows reports 6.2).
void SetVersion(const Version& version);
const Version& CurrentVersion();

// ---- directories ------------------------------------------------------------------

// Defaults: C:\Windows\System32 (where an elevated program starts) and
// C:\Windows\Temp\. The directories are not created here.
void SetCurrentDirectory(const std::wstring& path);
void SetTempPath(const std::wstring& pathWithTrailingBackslash);

// ---- the program's token ----------------------------------------------------------

// The process token holds SeShutdownPrivilege (disabled) and
// SeChangeNotifyPrivilege (enabled), as an administrator's does. A privilege
// taken away cannot be enabled: AdjustTokenPrivileges then reports
// ERROR_NOT_ALL_ASSIGNED.
void RemovePrivilege(const std::wstring& name);
bool PrivilegeEnabled(const std::wstring& name);

// Makes OpenProcessToken fail with `error` (0: succeed again).
void FailOpenProcessToken(DWORD error);

// ---- restarts ------------------------------------------------------------------

struct RestartRequest {
  std::wstring function;  // L"ExitWindowsEx" or L"InitiateSystemShutdownExW"
  UINT flags = 0;         // ExitWindowsEx's uFlags
  DWORD reason = 0;
  DWORD timeout = 0;  // InitiateSystemShutdownExW's arguments
  BOOL forceAppsClosed = FALSE;
  BOOL reboot = FALSE;
  std::wstring message;
  DWORD error = 0;  // ERROR_SUCCESS when the machine accepted the request
};
// Every request in order, refused ones included.
const std::vector<RestartRequest>& RestartRequests();
// The number of accepted requests.
int RestartsAccepted();

// Makes the machine refuse shutdown requests with `error` (0: accept again),
// as it does while an application blocks the shutdown.
void RefuseShutdown(DWORD error);

}  // namespace winsim::machine
