// "remove", "enable", "disable" and "restart": the class installer asked to
// remove or change each matching device, a line per device, then a summary.
#include "devcommands/device_actions.h"

#include <cstdio>

#include "devcommands/commands.h"
#include "devcommands/devcommands.h"
#include "devcommands/device_action_strings.h"
#include "devcommands/device_identity.h"
#include "devcommands/matching.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

struct DeviceAction {
  DWORD stateChange;
  DWORD setFlags;
  UINT doneText, rebootText, failedText;
  DWORD nothingMessage, doneMessage, rebootMessage;
  DeviceCallback callback;
};

constexpr DWORD MSG_NO_DEVICE_FOUND = 60403;

const DeviceAction kEnable = {
    DICS_ENABLE,         DIGCF_PRESENT, IDS_ENABLED, IDS_ENABLED_ON_REBOOT, IDS_ENABLE_FAILED,
    MSG_NO_DEVICE_FOUND, 60504,         60503,       ChangeStateCallback};
const DeviceAction kDisable = {
    DICS_DISABLE,        DIGCF_PRESENT, IDS_DISABLED, IDS_DISABLED_ON_REBOOT, IDS_DISABLE_FAILED,
    MSG_NO_DEVICE_FOUND, 60604,         60603,        ChangeStateCallback};
const DeviceAction kRestart = {
    DICS_PROPCHANGE,    DIGCF_PRESENT,       IDS_RESTARTED, IDS_RESTART_REQUIRES_REBOOT,
    IDS_RESTART_FAILED, MSG_NO_DEVICE_FOUND, 60704,         60703,
    ChangeStateCallback};
const DeviceAction kRemove = {
    0,     DIGCF_ALLCLASSES,    IDS_REMOVED, IDS_REMOVED_ON_REBOOT, IDS_REMOVE_FAILED, 61202, 61204,
    61203, RemoveDeviceCallback};

// The device's install parameters after a successful call ask for a restart.
bool NeedsRestart(HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
  SP_DEVINSTALL_PARAMS_W params = {};
  params.cbSize = sizeof params;
  return SetupDiGetDeviceInstallParamsW(devs, devInfo, &params) &&
         (params.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0;
}

// Counts a successful call and picks the text to report.
const WCHAR* Outcome(DeviceActionContext* action, bool succeeded, HDEVINFO devs,
                     PSP_DEVINFO_DATA devInfo) {
  if (!succeeded) return action->failedText;
  action->count++;
  if (!NeedsRestart(devs, devInfo)) return action->doneText;
  action->rebootNeeded = 1;
  return action->rebootText;
}

bool ChangeState(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD stateChange, DWORD scope) {
  SP_PROPCHANGE_PARAMS params = {};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = stateChange;
  params.Scope = scope;
  params.HwProfile = 0;
  return SetupDiSetClassInstallParamsW(devs, devInfo, &params.ClassInstallHeader, sizeof params) &&
         SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, devs, devInfo);
}

bool LoadText(UINT id, WCHAR (&text)[kActionTextChars]) {
  return LoadStringW(GetModuleHandleW(nullptr), id, text, kActionTextChars) > 0;
}

int RunDeviceAction(const DeviceAction& kind, const WCHAR* baseName, const WCHAR* machine, int argc,
                    const WCHAR* const* args) {
  if (argc == 0 || machine != nullptr) return RESULT_BAD_USAGE;
  WCHAR done[kActionTextChars], reboot[kActionTextChars], failed[kActionTextChars];
  if (!LoadText(kind.doneText, done) || !LoadText(kind.rebootText, reboot) ||
      !LoadText(kind.failedText, failed)) {
    return RESULT_FAILURE;
  }
  DeviceActionContext action = {0, kind.stateChange, 0, done, reboot, failed};
  int result =
      ForEachMatchingDevice(baseName, nullptr, kind.setFlags, argc, args, kind.callback, &action);
  if (result != RESULT_SUCCESS) return result;
  if (action.count == 0) {
    PrintMessage(stdout, kind.nothingMessage);
    return RESULT_SUCCESS;
  }
  auto count = static_cast<DWORD>(action.count);
  if (action.rebootNeeded) {
    PrintMessage(stdout, kind.rebootMessage, count);
    return RESULT_REBOOT_NEEDED;
  }
  PrintMessage(stdout, kind.doneMessage, count);
  return RESULT_SUCCESS;
}

}  // namespace

int RemoveDeviceCallback(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD, void* context) {
  auto* action = static_cast<DeviceActionContext*>(context);
  WCHAR id[kDeviceIdChars];
  if (!GetDeviceInstanceId(devs, devInfo, id)) return 0;
  SP_REMOVEDEVICE_PARAMS params = {};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  params.Scope = DI_REMOVEDEVICE_GLOBAL;
  params.HwProfile = 0;
  bool removed =
      SetupDiSetClassInstallParamsW(devs, devInfo, &params.ClassInstallHeader, sizeof params) &&
      SetupDiCallClassInstaller(DIF_REMOVE, devs, devInfo);
  fwprintf(stdout, L"%-60ls: %ls\n", id, Outcome(action, removed, devs, devInfo));
  return 0;
}

int ChangeStateCallback(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD, void* context) {
  auto* action = static_cast<DeviceActionContext*>(context);
  // Enabling clears a global disable first; whether there was one does not
  // matter.
  if (action->stateChange == DICS_ENABLE) ChangeState(devs, devInfo, DICS_ENABLE, DICS_FLAG_GLOBAL);
  bool changed = ChangeState(devs, devInfo, action->stateChange, DICS_FLAG_CONFIGSPECIFIC);
  PrintDeviceLine(devs, devInfo, Outcome(action, changed, devs, devInfo));
  return 0;
}

int EnableCommand(const WCHAR* baseName, const WCHAR* machine, DWORD, int argc,
                  const WCHAR* const* args) {
  return RunDeviceAction(kEnable, baseName, machine, argc, args);
}

int DisableCommand(const WCHAR* baseName, const WCHAR* machine, DWORD, int argc,
                   const WCHAR* const* args) {
  return RunDeviceAction(kDisable, baseName, machine, argc, args);
}

int RestartCommand(const WCHAR* baseName, const WCHAR* machine, DWORD, int argc,
                   const WCHAR* const* args) {
  return RunDeviceAction(kRestart, baseName, machine, argc, args);
}

int RemoveCommand(const WCHAR* baseName, const WCHAR* machine, DWORD, int argc,
                  const WCHAR* const* args) {
  return RunDeviceAction(kRemove, baseName, machine, argc, args);
}

}  // namespace devcommands
