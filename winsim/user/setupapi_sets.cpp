// Device information sets: building them from the device database, adding
// devices by instance id, walking them, and destroying them. A set is a
// handle of its own that the teardown check counts.
#include <map>
#include <memory>

#include "winsim/kernel/sim.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace winsim::user::setupapi {
namespace {

namespace db = winsim::user::devicedb;

// Handle values are never reused within a run, so a destroyed set's handle
// stays invalid.
constexpr ULONG_PTR kFirstSet = 0x60000000;
std::map<ULONG_PTR, std::unique_ptr<InfoSet>> g_sets;
ULONG_PTR g_nextSet = kFirstSet;
ULONG_PTR g_nextSerial = 1;

void Reset() {
  g_sets.clear();
  g_nextSet = kFirstSet;
  g_nextSerial = 1;
}

HDEVINFO NewSet(const GUID* classGuid) {
  static bool registered = false;
  if (!registered) {
    kernel::RegisterRunState("device information set(s)", Reset, LiveDeviceInfoSets);
    registered = true;
  }
  auto set = std::make_unique<InfoSet>();
  if (classGuid != nullptr) {
    set->hasClass = true;
    set->classGuid = *classGuid;
  }
  ULONG_PTR value = g_nextSet;
  g_nextSet += 8;
  g_sets[value] = std::move(set);
  return reinterpret_cast<HDEVINFO>(value);
}

const Element& AddElement(InfoSet* set, const std::wstring& id) {
  DWORD devInst = db::HandleOf(id);
  auto [at, added] = set->byDevInst.try_emplace(devInst, set->elements.size());
  if (!added) return set->elements[at->second];
  set->bySerial[g_nextSerial] = set->elements.size();
  set->elements.push_back({g_nextSerial++, devInst, db::ClassOf(id)});
  return set->elements.back();
}

HDEVINFO FailSet(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

void Describe(const Element& e, SP_DEVINFO_DATA* data) {
  data->ClassGuid = e.classGuid;
  data->DevInst = e.devInst;
  data->Reserved = e.serial;
}

bool EnumeratorExists(const std::wstring& name) {
  for (const std::wstring& id : db::InstanceIds()) {
    if (db::SameNoCase(id.substr(0, id.find(L'\\')), name)) return true;
  }
  return false;
}

bool Selected(const std::wstring& id, const GUID* classGuid, PCWSTR enumerator, DWORD flags) {
  if (enumerator != nullptr && *enumerator != L'\0' &&
      !db::SameNoCase(id.substr(0, id.find(L'\\')), enumerator)) {
    return false;
  }
  if ((flags & DIGCF_PRESENT) && !db::IsPresent(id)) return false;
  return classGuid == nullptr || db::SameGuid(db::ClassOf(id), *classGuid);
}

}  // namespace

InfoSet* FindSet(HDEVINFO handle) {
  auto it = g_sets.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it != g_sets.end()) return it->second.get();
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

Element* ElementOf(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
  InfoSet* set = FindSet(handle);
  if (set == nullptr) return nullptr;
  if (data != nullptr && data->cbSize == sizeof(SP_DEVINFO_DATA)) {
    auto at = set->bySerial.find(data->Reserved);
    if (at != set->bySerial.end() && set->elements[at->second].devInst == data->DevInst) {
      return &set->elements[at->second];
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

const std::wstring* DeviceOf(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
  Element* e = ElementOf(handle, data);
  return e == nullptr ? nullptr : db::IdOfHandle(e->devInst);
}

InstallState* InstallStateOf(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
  if (data == nullptr) {
    InfoSet* set = FindSet(handle);
    return set == nullptr ? nullptr : &set->install;
  }
  Element* e = ElementOf(handle, data);
  return e == nullptr ? nullptr : &e->install;
}

}  // namespace winsim::user::setupapi

namespace winsim::user {
LONG LiveDeviceInfoSets() { return static_cast<LONG>(setupapi::g_sets.size()); }
}  // namespace winsim::user

using namespace winsim::user::setupapi;
namespace db = winsim::user::devicedb;

HDEVINFO SetupDiCreateDeviceInfoListExW(const GUID* ClassGuid, HWND, PCWSTR MachineName,
                                        PVOID Reserved) {
  db::UseMachine();
  if (!LocalMachineArguments(MachineName, Reserved)) return INVALID_HANDLE_VALUE;
  return NewSet(ClassGuid);
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
  return SetupDiCreateDeviceInfoListExW(ClassGuid, hwndParent, nullptr, nullptr);
}

HDEVINFO SetupDiGetClassDevsExW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags,
                                HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID Reserved) {
  db::UseMachine();
  const DWORD known = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE;
  // Interface sets are not modelled: refuse them rather than answer wrongly.
  if (Flags & ~known) return FailSet(ERROR_INVALID_FLAGS);
  if (!(Flags & DIGCF_ALLCLASSES) && ClassGuid == nullptr) {
    return FailSet(ERROR_INVALID_PARAMETER);
  }
  if (!LocalMachineArguments(MachineName, Reserved)) return INVALID_HANDLE_VALUE;
  if (Enumerator != nullptr && *Enumerator != L'\0' && !EnumeratorExists(Enumerator)) {
    return FailSet(ERROR_INVALID_DATA);
  }
  const GUID* filter = (Flags & DIGCF_ALLCLASSES) ? nullptr : ClassGuid;
  HDEVINFO handle = DeviceInfoSet;
  if (handle == nullptr) handle = NewSet(filter);
  InfoSet* set = FindSet(handle);
  if (set == nullptr) return INVALID_HANDLE_VALUE;
  for (const std::wstring& id : db::InstanceIds()) {
    if (!Selected(id, filter, Enumerator, Flags)) continue;
    // An existing set with a class only takes devices of that class.
    if (set->hasClass && !db::SameGuid(db::ClassOf(id), set->classGuid)) continue;
    AddElement(set, id);
  }
  return handle;
}

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags) {
  return SetupDiGetClassDevsExW(ClassGuid, Enumerator, hwndParent, Flags, nullptr, nullptr,
                                nullptr);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (FindSet(DeviceInfoSet) == nullptr) return FALSE;
  g_sets.erase(reinterpret_cast<ULONG_PTR>(DeviceInfoSet));
  return TRUE;
}

BOOL SetupDiGetDeviceInfoListDetailW(HDEVINFO DeviceInfoSet,
                                     PSP_DEVINFO_LIST_DETAIL_DATA_W DeviceInfoSetDetailData) {
  InfoSet* set = FindSet(DeviceInfoSet);
  if (set == nullptr) return FALSE;
  if (DeviceInfoSetDetailData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoSetDetailData->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  // Only local sets exist: no machine handle, an empty name.
  DeviceInfoSetDetailData->ClassGuid = set->hasClass ? set->classGuid : GUID{};
  DeviceInfoSetDetailData->RemoteMachineHandle = nullptr;
  DeviceInfoSetDetailData->RemoteMachineName[0] = L'\0';
  return TRUE;
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
  db::UseMachine();
  InfoSet* set = FindSet(DeviceInfoSet);
  if (set == nullptr) return FALSE;
  if (OpenFlags & ~(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) {
    return Fail(ERROR_INVALID_FLAGS);
  }
  std::wstring id = db::kRootId;
  if (DeviceInstanceId != nullptr && *DeviceInstanceId != L'\0' &&
      !db::Lookup(DeviceInstanceId, &id)) {
    return Fail(ERROR_NO_SUCH_DEVINST);
  }
  if (set->hasClass && !db::SameGuid(db::ClassOf(id), set->classGuid)) {
    return Fail(ERROR_CLASS_MISMATCH);
  }
  const Element& e = AddElement(set, id);
  // The element stays in the set even when the caller's buffer is bad.
  if (DeviceInfoData == nullptr) return TRUE;
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  Describe(e, DeviceInfoData);
  return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData) {
  InfoSet* set = FindSet(DeviceInfoSet);
  if (set == nullptr) return FALSE;
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
  Describe(set->elements[MemberIndex], DeviceInfoData);
  return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                 PDWORD RequiredSize) {
  const std::wstring* id = DeviceOf(DeviceInfoSet, DeviceInfoData);
  if (id == nullptr) return FALSE;
  return CopyText(*id, DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}
