// The Win32 stand-in as programs see it through platform/win32.h in the host
// build: one small header per area, all included here.
#pragma once

#include "winsim/user/types.h"
#include "winsim/user/errors.h"
#include "winsim/user/synchapi.h"
#include "winsim/user/fileapi.h"
#include "winsim/user/filetime.h"
#include "winsim/user/strings.h"
#include "winsim/user/paths.h"
#include "winsim/user/registry.h"
#include "winsim/user/files.h"
#include "winsim/user/library.h"
#include "winsim/user/security.h"
#include "winsim/user/shutdown.h"
#include "winsim/user/version.h"
#include "winsim/user/setupapi.h"
#include "winsim/user/cfgmgr.h"
#include "winsim/user/inf.h"
#include "winsim/user/localmem.h"
#include "winsim/user/resources.h"
#include "winsim/user/dialogs.h"
