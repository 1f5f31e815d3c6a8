// The commands that change devices ("remove", "enable", "disable",
// "restart"): one context shape, one reporting scheme, a callback per kind
// of change.
#pragma once
#include "platform/win32.h"

namespace devcommands {

// Result texts are read into buffers of this many characters.
constexpr int kActionTextChars = 80;

// Owned by the handler for one command; reached by the callbacks through
// ForEachMatchingDevice's context.
struct DeviceActionContext {
  int count;          // devices whose class installer call succeeded
  DWORD stateChange;  // DICS_ENABLE, DICS_DISABLE or DICS_PROPCHANGE; unused by "remove"
  int rebootNeeded;   // 1 once a changed device needs a restart
  const WCHAR* doneText;
  const WCHAR* rebootText;
  const WCHAR* failedText;
};

// Per matching device; both always return 0 so that every device is visited.
int RemoveDeviceCallback(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD index, void* context);
int ChangeStateCallback(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD index, void* context);

}  // namespace devcommands
