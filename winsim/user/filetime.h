// FILETIME, shared by the registry and file functions, under the guard the
// SDK uses so that any other definition of it is the same one.
#pragma once
#include "winsim/user/types.h"

#ifndef _FILETIME_
#define _FILETIME_
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
#endif

namespace winsim::user {

// The machine's clock is virtual and starts nowhere in particular, so every
// key and file carries one fixed time: 2012-08-01 00:00 UTC.
constexpr ULONGLONG kMachineFileTime = 129882528000000000ull;

inline FILETIME MachineFileTime() {
  return FILETIME{static_cast<DWORD>(kMachineFileTime), static_cast<DWORD>(kMachineFileTime >> 32)};
}

}  // namespace winsim::user
