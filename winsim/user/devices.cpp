// The test-facing side of the device database (winsim/machine/devices.h):
// nodes and classes written into the registry as an installation would
// leave them.
#include "winsim/machine/devices.h"

#include <cwchar>

#include "winsim/kernel/internal.h"
#include "winsim/kernel/machine_keys.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/user/cfgmgr_internal.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace winsim::machine {
namespace {

namespace db = winsim::user::devicedb;

[[noreturn]] void Refuse(const char* call, const std::wstring& what) {
  kernel::Violation(call, nullptr, std::string(what.begin(), what.end()));
}

void SetIfAny(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  if (!text.empty()) registry::SetString(path, name, text);
}

void SetIfAny(const std::wstring& path, const wchar_t* name,
              const std::vector<std::wstring>& list) {
  if (!list.empty()) registry::SetMultiString(path, name, list);
}

// The installation's driver key, the lowest free NNNN under the class, as
// the Driver value names it: "{class guid}\NNNN".
std::wstring AddDriverKey(const GUID& classGuid, const std::wstring& infPath) {
  for (unsigned n = 0;; ++n) {
    wchar_t index[16];
    std::swprintf(index, 16, L"%04u", n);
    std::wstring driver = db::GuidText(classGuid) + L"\\" + index;
    if (registry::Find(registry::ClassKeyOf(driver)) == nullptr) {
      registry::SetString(registry::ClassKeyOf(driver), L"InfPath", infPath);
      return driver;
    }
  }
}

}  // namespace

const wchar_t* LocalMachineName() { return L"KORVSIM"; }

void AddDevice(const DeviceSpec& device) {
  db::UseMachine();
  const std::wstring& id = device.instanceId;
  std::wstring existing;
  if (!db::IsInstanceIdShape(id)) Refuse("AddDevice", L"not an instance id: " + id);
  if (db::Lookup(id, &existing)) Refuse("AddDevice", L"already in the tree: " + id);
  if (!device.infPath.empty() && device.className.empty()) {
    Refuse("AddDevice", L"an INF without a class: " + id);
  }
  GUID classGuid{};
  if (!device.className.empty()) {
    std::vector<GUID> classes = db::ClassesNamed(device.className);
    if (classes.empty()) Refuse("AddDevice", L"no setup class " + device.className);
    classGuid = classes.front();
  }
  std::wstring path = registry::EnumKeyOf(id);
  registry::Create(registry::Root(), path.substr(9) + L"\\Device Parameters");
  SetIfAny(path, L"HardwareID", device.hardwareIds);
  SetIfAny(path, L"CompatibleIDs", device.compatibleIds);
  SetIfAny(path, L"DeviceDesc", device.description);
  SetIfAny(path, L"FriendlyName", device.friendlyName);
  SetIfAny(path, L"Mfg", device.manufacturer);
  SetIfAny(path, L"Service", device.service);
  SetIfAny(path, L"LocationInformation", device.location);
  if (!device.className.empty()) {
    registry::SetString(path, L"Class", device.className);
    registry::SetString(path, L"ClassGUID", db::GuidText(classGuid));
  }
  if (!device.infPath.empty()) {
    registry::SetString(path, L"Driver", AddDriverKey(classGuid, device.infPath));
  }
  db::NoteAddedDevice(id, device.present, device.started);
}

void AddSetupClass(const GUID& guid, const std::wstring& name, const std::wstring& description) {
  db::UseMachine();
  std::wstring path = registry::ClassKeyOf(db::GuidText(guid));
  registry::SetString(path, L"Class", name);
  registry::SetString(path, L"", description);
}

void SetDeviceProblem(const std::wstring& instanceId, ULONG problem) {
  db::UseMachine();
  std::wstring id;
  if (!db::Lookup(instanceId, &id)) Refuse("SetDeviceProblem", L"no device " + instanceId);
  db::NoteProblem(id, problem);
}

void FailClassInstaller(const std::wstring& instanceId, DWORD error) {
  db::UseMachine();
  std::wstring id;
  if (!db::Lookup(instanceId, &id)) Refuse("FailClassInstaller", L"no device " + instanceId);
  db::NoteInstallerFailure(id, error);
}

bool RemovalPendingAtRestart(const std::wstring& instanceId) {
  return db::RemovalPending(instanceId);
}

LONG OpenDeviceInfoSets() { return winsim::user::LiveDeviceInfoSets(); }

LONG OpenMachineConnections() { return winsim::user::OpenMachineHandles(); }

}  // namespace winsim::machine
