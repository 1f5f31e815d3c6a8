// Device instances: the Enum tree of the registry is the list, the kernel's
// Plug and Play manager says which of its nodes are present and started, and
// what a test added carries its own presence. Problems a test set override.
#include "winsim/user/devicedb.h"

#include <map>

#include "winsim/kernel/machine_keys.h"
#include "winsim/kernel/pnp.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"
#include "winsim/user/cfgmgr.h"

namespace winsim::user::devicedb {
namespace {

namespace wk = winsim::kernel;

struct AddedDevice {
  bool present;
  bool started;
};

// Keyed by the canonical id.
std::map<std::wstring, AddedDevice> g_added;
std::map<std::wstring, ULONG> g_problems;
std::vector<std::wstring> g_handles;  // DEVINST n is g_handles[n - 1]
std::map<std::wstring, DWORD> g_handleOf;
bool g_inUse = false;

void Reset() {
  ResetDevices();
  g_inUse = false;
}

bool KernelNodeStarted(const wk::DeviceNode* node) {
  switch (wk::StateOf(node)) {
    case wk::DeviceState::kStarted:
    case wk::DeviceState::kStopPending:
    case wk::DeviceState::kRemovePending:
      return true;
    default:
      return false;
  }
}

bool IsRootEnumerated(const std::wstring& id) {
  return SameNoCase(id.substr(0, id.find(L'\\')), L"ROOT");
}

bool HasService(const std::wstring& id) {
  registry::Key* key = EnumKey(id);
  const registry::Value* service = key ? registry::GetValue(key, L"Service") : nullptr;
  return service != nullptr && service->data.size() > sizeof(WCHAR);
}

ULONG ProblemOfStopped(const std::wstring& id) {
  if (wk::DisabledInConfiguration(id)) return CM_PROB_DISABLED;
  return HasService(id) ? CM_PROB_FAILED_START : CM_PROB_FAILED_INSTALL;
}

// Presence and the state of the drivers, before any problem a test set.
bool BaseStatus(const std::wstring& id, Status* status) {
  ULONG flags = DN_NT_ENUMERATOR | DN_NT_DRIVER;
  bool started;
  if (SameNoCase(id, kRootId)) {
    started = true;
  } else if (const wk::DeviceNode* node = KernelNode(id)) {
    started = KernelNodeStarted(node);
    if (wk::PhysicalDeviceOf(node)->AttachedDevice != nullptr) flags |= DN_DRIVER_LOADED;
  } else if (auto added = g_added.find(id); added != g_added.end() && added->second.present) {
    started = added->second.started && !wk::DisabledInConfiguration(id);
    if (started) flags |= DN_DRIVER_LOADED;
  } else {
    return false;
  }
  if (IsRootEnumerated(id)) flags |= DN_ROOT_ENUMERATED;
  if (started) flags |= DN_STARTED | DN_DISABLEABLE;
  *status = {flags, started ? 0 : ProblemOfStopped(id)};
  return true;
}

}  // namespace

void UseMachine() {
  if (g_inUse) return;
  g_inUse = true;
  wk::RegisterRunState("device database", Reset, [] { return LONG{0}; });
  SeedClasses();
}

bool IsLocalMachine(const WCHAR* name) {
  if (name == nullptr) return true;
  std::wstring text(name);
  if (text.rfind(L"\\\\", 0) == 0) text.erase(0, 2);
  return text.empty() ? name[0] == L'\0' : SameNoCase(text, machine::LocalMachineName());
}

std::vector<std::wstring> InstanceIds() {
  std::vector<std::wstring> ids;
  registry::Key* root = registry::Find(registry::kEnumKey);
  if (root == nullptr) return ids;
  for (const std::wstring& enumerator : registry::SubkeyNames(root)) {
    registry::Key* e = registry::Open(root, enumerator);
    for (const std::wstring& device : registry::SubkeyNames(e)) {
      registry::Key* d = registry::Open(e, device);
      for (const std::wstring& instance : registry::SubkeyNames(d)) {
        ids.push_back(enumerator + L"\\" + device + L"\\" + instance);
      }
    }
  }
  return ids;
}

bool IsInstanceIdShape(const std::wstring& id) {
  size_t first = id.find(L'\\');
  size_t second = first == std::wstring::npos ? first : id.find(L'\\', first + 1);
  return first != std::wstring::npos && first > 0 && second != std::wstring::npos &&
         second > first + 1 && second + 1 < id.size() && id.find(L'\\', second + 1) == id.npos;
}

bool Lookup(const std::wstring& id, std::wstring* canonical) {
  if (SameNoCase(id, kRootId)) {
    *canonical = kRootId;
    return true;
  }
  // The registry finds names without regard to case; its own spelling of
  // the key's path gives the id as the tree has it.
  if (!IsInstanceIdShape(id)) return false;
  registry::Key* key = registry::Find(registry::EnumKeyOf(id));
  if (key == nullptr) return false;
  std::wstring path = registry::PathOf(key);
  *canonical = path.substr(path.size() - id.size());
  return true;
}

registry::Key* EnumKey(const std::wstring& id) {
  if (SameNoCase(id, kRootId)) return nullptr;
  return registry::Find(registry::EnumKeyOf(id));
}

wk::DeviceNode* KernelNode(const std::wstring& id) {
  // A replugged device leaves its earlier, removed node behind under the
  // same id; a node whose stack was taken down while the device stayed on
  // the bus (disabled, or removed by an installer) is still present.
  for (wk::DeviceNode* node : wk::DeviceNodes()) {
    if (!SameNoCase(wk::InstanceId(node), id)) continue;
    if (wk::PhysicalDeviceOf(node) != nullptr &&
        wk::StateOf(node) != wk::DeviceState::kSurpriseRemoved) {
      return node;
    }
  }
  return nullptr;
}

registry::Key* DriverKey(const std::wstring& id) {
  std::wstring driver;
  if (!ReadString(EnumKey(id), L"Driver", &driver) || driver.empty()) return nullptr;
  return registry::Find(registry::ClassKeyOf(driver));
}

bool IsPresent(const std::wstring& id) {
  Status ignored;
  return BaseStatus(id, &ignored);
}

bool StatusOf(const std::wstring& id, Status* status) {
  if (!BaseStatus(id, status)) return false;
  if (auto set = g_problems.find(id); set != g_problems.end()) status->problem = set->second;
  if (status->problem != 0) status->flags |= DN_HAS_PROBLEM;
  return true;
}

GUID ClassOf(const std::wstring& id) {
  GUID guid{};
  std::wstring text;
  if (!ReadString(EnumKey(id), L"ClassGUID", &text) || !ParseGuid(text, &guid)) return GUID{};
  return guid;
}

DWORD HandleOf(const std::wstring& canonicalId) {
  auto [it, added] = g_handleOf.try_emplace(canonicalId, static_cast<DWORD>(g_handles.size() + 1));
  if (added) g_handles.push_back(canonicalId);
  return it->second;
}

const std::wstring* IdOfHandle(DWORD devInst) {
  if (devInst == 0 || devInst > g_handles.size()) return nullptr;
  return &g_handles[devInst - 1];
}

void NoteAddedDevice(const std::wstring& id, bool present, bool started) {
  g_added[id] = {present, started};
}

void NoteProblem(const std::wstring& id, ULONG problem) { g_problems[id] = problem; }

void ForgetInstance(const std::wstring& id) {
  g_added.erase(id);
  g_problems.erase(id);
}

void ResetDevices() {
  g_added.clear();
  g_problems.clear();
  g_handles.clear();
  g_handleOf.clear();
}

}  // namespace winsim::user::devicedb
