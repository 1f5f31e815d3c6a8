// What the default class installer does to the device tree for DIF_REMOVE
// and DIF_PROPERTYCHANGE: running stacks go through the Plug and Play
// manager (query-remove, then removal; a start to bring them back), and the
// registry keeps what persists (the instance's keys, the disable flags).
#include <map>
#include <set>

#include "winsim/kernel/machine_keys.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi.h"

namespace winsim::user::devicedb {
namespace {

namespace wk = winsim::kernel;

std::set<std::wstring> g_removeAtRestart;
std::map<std::wstring, DWORD> g_failures;
bool g_registered = false;

void UseState() {
  if (g_registered) return;
  g_registered = true;
  wk::RegisterRunState(
      "class installer state",
      [] {
        g_removeAtRestart.clear();
        g_failures.clear();
        g_registered = false;
      },
      [] { return LONG{0}; });
}

DWORD RefusalFor(const std::wstring& id) {
  auto it = g_failures.find(id);
  return it == g_failures.end() ? ERROR_SUCCESS : it->second;
}

bool StackRunning(wk::DeviceNode* node) {
  if (node == nullptr) return false;
  wk::DeviceState state = wk::StateOf(node);
  return state != wk::DeviceState::kRemoved && state != wk::DeviceState::kNotStarted;
}

// Asks a running stack to go. False when it refused and stays.
bool TakeDown(wk::DeviceNode* node) {
  if (!StackRunning(node)) return true;
  return NT_SUCCESS(wk::RemoveDevice(node));
}

void DeleteTree(registry::Key* key) {
  if (key == nullptr) return;
  for (const std::wstring& name : registry::SubkeyNames(key)) {
    DeleteTree(registry::Open(key, name));
  }
  registry::DeleteKey(key);
}

// The instance's hardware key, its software (driver) key and its profile
// key; the device key above it goes too once it holds no instance.
void DeleteInstanceKeys(const std::wstring& id) {
  registry::Key* key = EnumKey(id);
  DeleteTree(DriverKey(id));
  registry::Key* deviceKey = registry::Find(registry::EnumKeyOf(id.substr(0, id.rfind(L'\\'))));
  DeleteTree(key);
  if (deviceKey != nullptr && registry::SubkeyNames(deviceKey).empty()) {
    registry::DeleteKey(deviceKey);
  }
  wk::DeleteProfileConfiguration(id);
}

// Starts a present device whose stack is down, unless it is disabled.
void BringUp(wk::DeviceNode* node, const std::wstring& id) {
  if (node == nullptr || StackRunning(node) || wk::DisabledInConfiguration(id)) return;
  // A failed start leaves the device with its problem, as on Windows; the
  // installer's request itself was carried out.
  wk::StartDevice(node);
}

}  // namespace

DWORD RemoveInstance(const std::wstring& id, bool* restartNeeded) {
  UseState();
  *restartNeeded = false;
  if (SameNoCase(id, kRootId)) return ERROR_ACCESS_DENIED;
  if (DWORD refusal = RefusalFor(id)) return refusal;
  wk::DeviceNode* node = KernelNode(id);
  // The PDO gets its remove whether or not a stack runs above it; only a
  // running stack can refuse.
  bool gone = node == nullptr || wk::StateOf(node) == wk::DeviceState::kRemoved ||
              NT_SUCCESS(wk::RemoveDevice(node));
  if (!gone) {
    g_removeAtRestart.insert(id);
    *restartNeeded = true;
    return ERROR_SUCCESS;
  }
  DeleteInstanceKeys(id);
  ForgetInstance(id);
  return ERROR_SUCCESS;
}

DWORD ChangeInstanceState(const std::wstring& id, DWORD stateChange, DWORD scope, DWORD hwProfile,
                          bool* restartNeeded) {
  UseState();
  *restartNeeded = false;
  if (DWORD refusal = RefusalFor(id)) return refusal;
  if (scope != DICS_FLAG_GLOBAL && scope != DICS_FLAG_CONFIGSPECIFIC) return ERROR_INVALID_FLAGS;
  if (hwProfile != 0) return ERROR_INVALID_HWPROFILE;
  bool global = scope == DICS_FLAG_GLOBAL;
  wk::DeviceNode* node = KernelNode(id);
  switch (stateChange) {
    case DICS_ENABLE:
      wk::SetDisabledInConfiguration(id, global, false);
      BringUp(node, id);
      return ERROR_SUCCESS;
    case DICS_DISABLE:
      if (SameNoCase(id, kRootId)) return ERROR_NOT_DISABLEABLE;
      // The flag is kept even when the stack refuses: the restart applies it.
      wk::SetDisabledInConfiguration(id, global, true);
      *restartNeeded = !TakeDown(node);
      return ERROR_SUCCESS;
    case DICS_PROPCHANGE:
      if (!StackRunning(node)) return ERROR_SUCCESS;
      if (!TakeDown(node)) {
        *restartNeeded = true;
        return ERROR_SUCCESS;
      }
      BringUp(node, id);
      return ERROR_SUCCESS;
    default:
      // DICS_START and DICS_STOP (per-profile starts) are not modelled.
      return ERROR_INVALID_PARAMETER;
  }
}

bool RemovalPending(const std::wstring& id) {
  for (const std::wstring& pending : g_removeAtRestart) {
    if (SameNoCase(pending, id)) return true;
  }
  return false;
}

void NoteInstallerFailure(const std::wstring& id, DWORD error) {
  UseState();
  if (error == ERROR_SUCCESS) {
    g_failures.erase(id);
  } else {
    g_failures[id] = error;
  }
}

}  // namespace winsim::user::devicedb
