// Configuration manager functions: machine connections, locating device
// nodes, their ids and status.
#include <algorithm>
#include <set>

#include "winsim/kernel/sim.h"
#include "winsim/user/cfgmgr_internal.h"
#include "winsim/user/devicedb.h"

namespace winsim::user {
namespace {

namespace db = winsim::user::devicedb;

// The longest name a machine can have, as SetupAPI sizes it (MAX_PATH).
constexpr size_t kLongestMachineName = 260;
constexpr ULONG_PTR kFirstMachine = 0x70000000;
std::set<ULONG_PTR> g_machines;
ULONG_PTR g_nextMachine = kFirstMachine;

void Reset() {
  g_machines.clear();
  g_nextMachine = kFirstMachine;
}

HMACHINE NewMachineHandle() {
  static bool registered = false;
  if (!registered) {
    kernel::RegisterRunState("machine connection(s)", Reset, OpenMachineHandles);
    registered = true;
  }
  ULONG_PTR value = g_nextMachine;
  g_nextMachine += 8;
  g_machines.insert(value);
  return reinterpret_cast<HMACHINE>(value);
}

// The checks every device node query starts with; CR_SUCCESS with the id of
// a node the database still holds.
CONFIGRET NodeArguments(DEVINST devInst, ULONG flags, HMACHINE machine, std::wstring* id) {
  db::UseMachine();
  if (flags != 0) return CR_INVALID_FLAG;
  if (!IsLocalMachineHandle(machine)) return CR_INVALID_POINTER;
  const std::wstring* known = db::IdOfHandle(devInst);
  if (known == nullptr || !db::Lookup(*known, id)) return CR_INVALID_DEVNODE;
  return CR_SUCCESS;
}

}  // namespace

LONG OpenMachineHandles() { return static_cast<LONG>(g_machines.size()); }

bool IsLocalMachineHandle(HMACHINE machine) {
  return machine == nullptr || g_machines.count(reinterpret_cast<ULONG_PTR>(machine)) != 0;
}

CONFIGRET RemoteMachineResult(const WCHAR* name) {
  std::wstring text(name);
  if (text.rfind(L"\\\\", 0) == 0) text.erase(0, 2);
  if (text.empty() || text.size() > kLongestMachineName || text.find(L'\\') != text.npos) {
    return CR_INVALID_MACHINENAME;
  }
  // Nothing answers for another machine: the state a machine that is off or
  // unreachable leaves, which the configuration manager reports as
  // CR_MACHINE_UNAVAILABLE.
  return CR_MACHINE_UNAVAILABLE;
}

}  // namespace winsim::user

using namespace winsim::user;
namespace db = winsim::user::devicedb;

CONFIGRET CM_Connect_MachineW(PCWSTR UNCServerName, PHMACHINE phMachine) {
  db::UseMachine();
  if (phMachine == nullptr) return CR_INVALID_POINTER;
  *phMachine = nullptr;
  if (!db::IsLocalMachine(UNCServerName)) return RemoteMachineResult(UNCServerName);
  *phMachine = NewMachineHandle();
  return CR_SUCCESS;
}

CONFIGRET CM_Disconnect_Machine(HMACHINE hMachine) {
  if (hMachine == nullptr) return CR_SUCCESS;  // the local machine needs no connection
  if (g_machines.erase(reinterpret_cast<ULONG_PTR>(hMachine)) == 0) return CR_INVALID_POINTER;
  return CR_SUCCESS;
}

CONFIGRET CM_Locate_DevNode_ExW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags,
                                HMACHINE hMachine) {
  db::UseMachine();
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
  if (!IsLocalMachineHandle(hMachine)) return CR_INVALID_POINTER;
  std::wstring id = db::kRootId;
  if (pDeviceID != nullptr && *pDeviceID != L'\0' && !db::Lookup(pDeviceID, &id)) {
    return CR_NO_SUCH_DEVNODE;
  }
  if (!(ulFlags & CM_LOCATE_DEVNODE_PHANTOM) && !db::IsPresent(id)) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = db::HandleOf(id);
  return CR_SUCCESS;
}

CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
  return CM_Locate_DevNode_ExW(pdnDevInst, pDeviceID, ulFlags, nullptr);
}

CONFIGRET CM_Get_Device_ID_ExW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags,
                               HMACHINE hMachine) {
  if (Buffer == nullptr) return CR_INVALID_POINTER;
  std::wstring id;
  CONFIGRET cr = NodeArguments(dnDevInst, ulFlags, hMachine, &id);
  if (cr != CR_SUCCESS) return cr;
  // As much of the id as fits; the terminator only when all of it does.
  std::copy_n(id.begin(), std::min<size_t>(id.size(), BufferLen), Buffer);
  if (BufferLen <= id.size()) return CR_BUFFER_SMALL;
  Buffer[id.size()] = L'\0';
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
  return CM_Get_Device_ID_ExW(dnDevInst, Buffer, BufferLen, ulFlags, nullptr);
}

CONFIGRET CM_Get_Device_ID_Size_Ex(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags,
                                   HMACHINE hMachine) {
  if (pulLen == nullptr) return CR_INVALID_POINTER;
  *pulLen = 0;
  std::wstring id;
  CONFIGRET cr = NodeArguments(dnDevInst, ulFlags, hMachine, &id);
  if (cr == CR_SUCCESS) *pulLen = static_cast<ULONG>(id.size());
  return cr;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
  return CM_Get_Device_ID_Size_Ex(pulLen, dnDevInst, ulFlags, nullptr);
}

CONFIGRET CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                   ULONG ulFlags, HMACHINE hMachine) {
  if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
  std::wstring id;
  CONFIGRET cr = NodeArguments(dnDevInst, ulFlags, hMachine, &id);
  if (cr != CR_SUCCESS) return cr;
  db::Status status;
  if (!db::StatusOf(id, &status)) return CR_NO_SUCH_DEVINST;
  *pulStatus = status.flags;
  *pulProblemNumber = status.problem;
  return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                ULONG ulFlags) {
  return CM_Get_DevNode_Status_Ex(pulStatus, pulProblemNumber, dnDevInst, ulFlags, nullptr);
}
