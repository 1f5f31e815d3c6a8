// The programs' one view of the Win32 platform: the real SDK in the windows
// build, the stand-in in winsim/ in the host build.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <shlwapi.h>
#else
#include "winsim/user/win32.h"
#endif
