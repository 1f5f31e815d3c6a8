// Device identity helpers shared by the per-device callbacks.
#include "devcommands/device_identity.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace devcommands {
namespace {

// Reads a device property into a malloc'ed buffer of `bytes` with room for
// `spareChars` terminators behind the data. The buffer grows once when the
// value is of `growType` and did not fit. Null on failure.
WCHAR* ReadProperty(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD property, DWORD bytes,
                    DWORD spareChars, DWORD growType, DWORD* dataBytes) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto buffer = static_cast<WCHAR*>(malloc(bytes + spareChars * sizeof(WCHAR)));
    if (buffer == nullptr) return nullptr;
    DWORD type = 0, required = 0;
    if (SetupDiGetDeviceRegistryPropertyW(devs, devInfo, property, &type,
                                          reinterpret_cast<PBYTE>(buffer), bytes, &required)) {
      *dataBytes = required < bytes ? required : bytes;
      return buffer;
    }
    free(buffer);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || type != growType) return nullptr;
    bytes = required;
  }
  return nullptr;
}

}  // namespace

bool ReadDeviceInstanceId(PSP_DEVINFO_DATA devInfo, HMACHINE machine, WCHAR (&id)[kDeviceIdChars]) {
  if (CM_Get_Device_ID_ExW(devInfo->DevInst, id, kDeviceIdChars, 0, machine) != CR_SUCCESS) {
    return false;
  }
  // An id that fills the buffer comes back without a terminator.
  return wmemchr(id, L'\0', kDeviceIdChars) != nullptr;
}

bool GetDeviceInstanceId(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, WCHAR (&id)[kDeviceIdChars]) {
  SP_DEVINFO_LIST_DETAIL_DATA_W detail = {};
  detail.cbSize = sizeof(detail);
  if (!SetupDiGetDeviceInfoListDetailW(devs, &detail)) return false;
  return ReadDeviceInstanceId(devInfo, detail.RemoteMachineHandle, id);
}

WCHAR* GetDeviceStringProperty(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD property) {
  DWORD bytes = 0;
  WCHAR* text = ReadProperty(devs, devInfo, property, 1024, 1, REG_SZ, &bytes);
  if (text != nullptr) text[bytes / sizeof(WCHAR)] = L'\0';
  return text;
}

StringList GetDeviceMultiSzProperty(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD property) {
  DWORD bytes = 0;
  WCHAR* multiSz = ReadProperty(devs, devInfo, property, 8192, 2, REG_MULTI_SZ, &bytes);
  if (multiSz == nullptr) return nullptr;
  multiSz[bytes / sizeof(WCHAR)] = L'\0';
  multiSz[bytes / sizeof(WCHAR) + 1] = L'\0';
  StringList list = StringListFromMultiSz(multiSz);
  if (list == nullptr) free(multiSz);
  return list;
}

WCHAR* GetDeviceDescription(HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
  WCHAR* name = GetDeviceStringProperty(devs, devInfo, SPDRP_FRIENDLYNAME);
  return name != nullptr ? name : GetDeviceStringProperty(devs, devInfo, SPDRP_DEVICEDESC);
}

bool PrintDeviceLine(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, const WCHAR* text) {
  WCHAR id[kDeviceIdChars];
  bool known = GetDeviceInstanceId(devs, devInfo, id);
  const WCHAR* shown = known ? id : L"?";
  if (text != nullptr) {
    fwprintf(stdout, L"%-60ls: %ls\n", shown, text);
  } else {
    fwprintf(stdout, L"%ls\n", shown);
  }
  return known;
}

bool PrintDeviceSummary(HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
  WCHAR* description = GetDeviceDescription(devs, devInfo);
  bool known = PrintDeviceLine(devs, devInfo, description);
  free(description);
  return known;
}

}  // namespace devcommands
