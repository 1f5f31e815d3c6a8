// The class installer entry points: class install parameters, device
// install parameters, and SetupDiCallClassInstaller carrying out DIF_REMOVE
// and DIF_PROPERTYCHANGE on the device tree.
#include <cstring>

#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace winsim::user::setupapi {
namespace {

namespace db = winsim::user::devicedb;

// The record each modelled install function takes; 0 for the others.
DWORD ParamsSizeOf(DI_FUNCTION function) {
  switch (function) {
    case DIF_REMOVE:
      return sizeof(SP_REMOVEDEVICE_PARAMS);
    case DIF_PROPERTYCHANGE:
      return sizeof(SP_PROPCHANGE_PARAMS);
    default:
      return 0;
  }
}

// The device's own class install parameters for `function`, else the set's.
template <typename Params>
bool ParamsFor(const InfoSet& set, const Element& e, DI_FUNCTION function, Params* params) {
  for (const InstallState* state : {&e.install, &set.install}) {
    if (!(state->flags & DI_CLASSINSTALLPARAMS) || state->classParams.size() != sizeof(Params)) {
      continue;
    }
    std::memcpy(params, state->classParams.data(), sizeof(Params));
    if (params->ClassInstallHeader.InstallFunction == function) return true;
  }
  return false;
}

DWORD Remove(const InfoSet& set, const Element& e, const std::wstring& id, bool* restart) {
  SP_REMOVEDEVICE_PARAMS params{};
  // Without parameters the removal is global, as SetupDiRemoveDevice's is.
  if (!ParamsFor(set, e, DIF_REMOVE, &params)) params.Scope = DI_REMOVEDEVICE_GLOBAL;
  // Removal from one hardware profile only is not modelled.
  if (params.Scope != DI_REMOVEDEVICE_GLOBAL) return ERROR_INVALID_FLAGS;
  return db::RemoveInstance(id, restart);
}

DWORD ChangeState(const InfoSet& set, const Element& e, const std::wstring& id, bool* restart) {
  SP_PROPCHANGE_PARAMS params{};
  if (!ParamsFor(set, e, DIF_PROPERTYCHANGE, &params)) return ERROR_NO_CLASSINSTALL_PARAMS;
  return db::ChangeInstanceState(id, params.StateChange, params.Scope, params.HwProfile, restart);
}

// The install state the device install parameters record describes, after
// the checks both directions make; nullptr with the error set.
InstallState* CheckedInstallState(HDEVINFO set, PSP_DEVINFO_DATA data,
                                  const SP_DEVINSTALL_PARAMS_W* params) {
  InstallState* state = InstallStateOf(set, data);
  if (state == nullptr) return nullptr;
  if (params == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  return state;
}

}  // namespace
}  // namespace winsim::user::setupapi

using namespace winsim::user::setupapi;
namespace db = winsim::user::devicedb;

BOOL SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize) {
  InstallState* state = InstallStateOf(DeviceInfoSet, DeviceInfoData);
  if (state == nullptr) return FALSE;
  if (ClassInstallParams == nullptr) {
    if (ClassInstallParamsSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    state->classParams.clear();
    state->flags &= ~DI_CLASSINSTALLPARAMS;
    return TRUE;
  }
  if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  DWORD expected = ParamsSizeOf(ClassInstallParams->InstallFunction);
  if (expected == 0 || ClassInstallParamsSize != expected) return Fail(ERROR_INVALID_PARAMETER);
  const auto* bytes = reinterpret_cast<const BYTE*>(ClassInstallParams);
  state->classParams.assign(bytes, bytes + ClassInstallParamsSize);
  state->flags |= DI_CLASSINSTALLPARAMS;
  return TRUE;
}

BOOL SetupDiGetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                   DWORD ClassInstallParamsSize, PDWORD RequiredSize) {
  InstallState* state = InstallStateOf(DeviceInfoSet, DeviceInfoData);
  if (state == nullptr) return FALSE;
  if (!(state->flags & DI_CLASSINSTALLPARAMS)) return Fail(ERROR_NO_CLASSINSTALL_PARAMS);
  DWORD needed = static_cast<DWORD>(state->classParams.size());
  if (RequiredSize != nullptr) *RequiredSize = needed;
  if (ClassInstallParams == nullptr) {
    return Fail(ClassInstallParamsSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
  }
  if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (ClassInstallParamsSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(ClassInstallParams, state->classParams.data(), needed);
  return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData) {
  db::UseMachine();
  InfoSet* set = FindSet(DeviceInfoSet);
  if (set == nullptr) return FALSE;
  if (ParamsSizeOf(InstallFunction) == 0) return Fail(ERROR_INVALID_PARAMETER);
  // Both functions act on one device.
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  Element* e = ElementOf(DeviceInfoSet, DeviceInfoData);
  if (e == nullptr) return FALSE;
  const std::wstring& recorded = *db::IdOfHandle(e->devInst);
  std::wstring id;
  if (!db::Lookup(recorded, &id)) return Fail(ERROR_NO_SUCH_DEVINST);
  bool restart = false;
  DWORD error = InstallFunction == DIF_REMOVE ? Remove(*set, *e, id, &restart)
                                              : ChangeState(*set, *e, id, &restart);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (restart) e->install.flags |= DI_NEEDREBOOT;
  return TRUE;
}

BOOL SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  InstallState* state = CheckedInstallState(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
  if (state == nullptr) return FALSE;
  std::memset(reinterpret_cast<BYTE*>(DeviceInstallParams) + sizeof(DWORD), 0,
              sizeof(SP_DEVINSTALL_PARAMS_W) - sizeof(DWORD));
  DeviceInstallParams->Flags = state->flags;
  DeviceInstallParams->FlagsEx = state->flagsEx;
  return TRUE;
}

BOOL SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  InstallState* state = CheckedInstallState(DeviceInfoSet, DeviceInfoData, DeviceInstallParams);
  if (state == nullptr) return FALSE;
  // Whether class install parameters exist is the set's business, not the
  // caller's.
  state->flags = (DeviceInstallParams->Flags & ~DI_CLASSINSTALLPARAMS) |
                 (state->flags & DI_CLASSINSTALLPARAMS);
  state->flagsEx = DeviceInstallParams->FlagsEx;
  return TRUE;
}
