// What the configuration manager shares with SetupAPI and the machine's
// test-facing side. Internal to winsim/user.
#pragma once
#include "winsim/user/cfgmgr.h"

namespace winsim::user {

// Connections the programs hold open.
LONG OpenMachineHandles();

// Which machine a CM_*_Ex call addresses: the local one for a null handle or
// a live handle from CM_Connect_MachineW; false for anything else.
bool IsLocalMachineHandle(HMACHINE machine);

// The CONFIGRET for a machine name that is not the local one.
CONFIGRET RemoteMachineResult(const WCHAR* name);

}  // namespace winsim::user
