// Restarting the machine. The simulated machine records each request
// (winsim/machine/settings.h) and carries none out.
#pragma once
#include "winsim/user/types.h"

#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define EWX_FORCEIFHUNG 0x00000010

#define SHTDN_REASON_FLAG_PLANNED 0x80000000
#define SHTDN_REASON_MAJOR_HARDWARE 0x00010000
#define SHTDN_REASON_MINOR_INSTALLATION 0x00000002

// Shutting down or restarting needs SeShutdownPrivilege enabled in the
// process token (ERROR_PRIVILEGE_NOT_HELD otherwise); a request while one
// is under way fails with ERROR_SHUTDOWN_IN_PROGRESS. Both return as soon
// as the shutdown has been started.
BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason);
// The local machine only (lpMachineName NULL or empty).
BOOL InitiateSystemShutdownExW(LPWSTR lpMachineName, LPWSTR lpMessage, DWORD dwTimeout,
                               BOOL bForceAppsClosed, BOOL bRebootAfterShutdown, DWORD dwReason);
