// What the per-device callbacks share: a device's instance id, its registry
// properties and description, and the one-line device report.
#pragma once
#include "devcommands/string_list.h"
#include "platform/win32.h"

namespace devcommands {

// Instance ids are read into buffers of this many characters.
constexpr DWORD kDeviceIdChars = 200;

// The device's instance id through the set's machine handle; false when the
// set detail or the id cannot be read.
bool GetDeviceInstanceId(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, WCHAR (&id)[kDeviceIdChars]);
// The same with the machine handle already at hand.
bool ReadDeviceInstanceId(PSP_DEVINFO_DATA devInfo, HMACHINE machine, WCHAR (&id)[kDeviceIdChars]);

// A REG_SZ device property as a malloc'ed, terminated string; null when
// absent or unreadable. The caller frees it.
WCHAR* GetDeviceStringProperty(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD property);

// A REG_MULTI_SZ device property as a StringList; null when absent or
// unreadable.
StringList GetDeviceMultiSzProperty(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD property);

// The friendly name, else the device description; null when neither. The
// caller frees it.
WCHAR* GetDeviceDescription(HDEVINFO devs, PSP_DEVINFO_DATA devInfo);

// Writes the instance id ("?" when unreadable) to standard output, alone or
// padded to 60 columns followed by ": " and `text`. True when the real id
// was printed.
bool PrintDeviceLine(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, const WCHAR* text);

// PrintDeviceLine with the device's description, if it has one.
bool PrintDeviceSummary(HDEVINFO devs, PSP_DEVINFO_DATA devInfo);

}  // namespace devcommands
