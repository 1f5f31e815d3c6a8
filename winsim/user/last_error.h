// What a failed BOOL function of the stand-in does: sets the thread's last
// error and returns FALSE. Internal to winsim/user.
#pragma once
#include "winsim/user/errors.h"

namespace winsim::user {

inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace winsim::user
