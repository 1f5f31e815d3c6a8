// Selecting devices: selectors turned into a device set, id patterns, and the
// walk that calls a command's callback for each matching device.
#pragma once
#include "devcommands/string_list.h"
#include "platform/win32.h"

namespace devcommands {

struct IdPattern {
  const WCHAR* text;           // after any "@" and "'"; points into the argument
  const WCHAR* firstWildcard;  // first "*" in text; null for a literal pattern
  bool isInstanceId;           // an "@" pattern
};

// Reads one id pattern argument: "@" makes it an instance-id pattern, a
// following "'" makes the rest literal, otherwise a "*" makes it a wildcard.
IdPattern ParseIdPattern(const WCHAR* arg);

// Case-insensitive (ASCII letters only) "*"-only glob: middle segments at
// their leftmost occurrence, the last segment anchored at the end.
bool MatchIdPattern(const WCHAR* candidate, const IdPattern& pattern);

// True when any string of `list` matches; a null list matches nothing.
bool MatchAnyId(StringList list, const IdPattern& pattern);

// Per matching device; 0 continues the walk, anything else stops it and is
// returned by ForEachMatchingDevice. `index` is the device's place in the set.
using DeviceCallback = int (*)(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD index, void* context);

// Selectors: an optional leading "=<class>", an optional "*" (every device),
// then id patterns. `setFlags` are the command's DIGCF_PRESENT and/or
// DIGCF_ALLCLASSES. Returns a result code, or a callback's non-zero value.
int ForEachMatchingDevice(const WCHAR* baseName, const WCHAR* machine, DWORD setFlags, int argc,
                          const WCHAR* const* args, DeviceCallback callback, void* context);

}  // namespace devcommands
