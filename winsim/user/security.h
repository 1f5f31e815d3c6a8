// The program's own process and its access token: enabling a privilege, as
// a program must before it may restart the machine.
#pragma once
#include "winsim/user/types.h"

#define ANYSIZE_ARRAY 1

typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_SHUTDOWN_NAME L"SeShutdownPrivilege"

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080

// The pseudo handle (-1) of the calling process; it need not be closed.
HANDLE GetCurrentProcess(void);

// The current process only. The token handle is closed with CloseHandle.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);

// Local names only (lpSystemName NULL or empty); ERROR_NO_SUCH_PRIVILEGE
// for a name that is no privilege.
BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);

// Needs TOKEN_ADJUST_PRIVILEGES (and TOKEN_QUERY for PreviousState).
// Succeeds also when the token lacks a privilege asked for; GetLastError
// then gives ERROR_NOT_ALL_ASSIGNED, otherwise ERROR_SUCCESS.
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

namespace winsim::user {

// Whether the process token holds the privilege and it is enabled.
bool PrivilegeEnabled(const wchar_t* name);

}  // namespace winsim::user
