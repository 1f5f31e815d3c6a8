// The Win32 stand-in as programs see it through platform/win32.h in the host
// build: one small header per area, all included here.
#pragma once

#include "winsim/user/types.h"
#include "winsim/user/errors.h"
#include "winsim/user/synchapi.h"
#include "winsim/user/fileapi.h"
