// Base types of the Win32 stand-in. The integer and handle types come from
// the stand-in kernel's ntdef.h and the shared constants from common.h, so a
// file that is both driver and program sees one definition of each.
#pragma once
#if defined(_WIN32)
#error "winsim headers are for the host build; include platform/win32.h"
#endif
#if defined(KORV_DRIVER)
#error "winsim/user is for programs, not for drivers"
#endif

#include "winsim/kernel/wdk/common.h"
#include "winsim/kernel/wdk/ntdef.h"

#define WINAPI
#define CALLBACK

typedef int BOOL, *PBOOL, *LPBOOL;
typedef BYTE *PBYTE, *LPBYTE;
typedef WORD *PWORD, *LPWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef LONG *LPLONG;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef HANDLE *LPHANDLE;
typedef ULONG_PTR DWORD_PTR;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAXDWORD 0xffffffff

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // the request's status while and after it runs
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
static_assert(sizeof(OVERLAPPED) == 4 * sizeof(void *));

#define HasOverlappedIoCompleted(lpOverlapped) ((lpOverlapped)->Internal != 0x00000103)

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
