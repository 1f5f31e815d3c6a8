// ForEachMatchingDevice: selectors to a device set, then the walk over it.
#include "devcommands/matching.h"

#include <cstdlib>
#include <cwchar>

#include "devcommands/devcommands.h"
#include "devcommands/device_identity.h"

namespace devcommands {
namespace {

struct Selection {
  const WCHAR* className = nullptr;  // "=<class>" given
  GUID classGuid = {};
  bool allDevices = false;  // "*" given
  IdPattern* patterns = nullptr;
  int patternCount = 0;
  bool searched = false;  // a hardware-id or wildcard pattern: the set is searched, not opened
};

void ReadSelectors(int argc, const WCHAR* const* args, Selection* selection) {
  int next = 0;
  if (args[0][0] == L'=' && args[0][1] != L'\0') selection->className = args[next++] + 1;
  if (next < argc && wcscmp(args[next], L"*") == 0) {
    selection->allDevices = true;
    ++next;
  }
  for (; next < argc; ++next) {
    IdPattern pattern = ParseIdPattern(args[next]);
    if (!pattern.isInstanceId || pattern.firstWildcard != nullptr) selection->searched = true;
    selection->patterns[selection->patternCount++] = pattern;
  }
}

// The class of that name: RESULT_SUCCESS with *found false when there is none.
int LookUpClass(const WCHAR* name, const WCHAR* machine, GUID* guid, bool* found) {
  DWORD count = 0;
  if (SetupDiClassGuidsFromNameExW(name, guid, 1, &count, machine, nullptr)) {
    *found = count > 0;
    return RESULT_SUCCESS;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return RESULT_FAILURE;
  // Several classes have this name and the first is used; a short list is not
  // promised to hold even that one, so ask again with room for all.
  auto all = static_cast<GUID*>(malloc(count * sizeof(GUID)));
  if (all == nullptr) return RESULT_FAILURE;
  bool listed = SetupDiClassGuidsFromNameExW(name, all, count, &count, machine, nullptr);
  *found = listed && count > 0;
  if (*found) *guid = all[0];
  free(all);
  return listed ? RESULT_SUCCESS : RESULT_FAILURE;
}

HDEVINFO BuildDeviceSet(const Selection& selection, DWORD setFlags, const WCHAR* machine) {
  const GUID* classGuid = selection.className != nullptr ? &selection.classGuid : nullptr;
  HDEVINFO devs;
  if (selection.allDevices || selection.patternCount == 0 || selection.searched) {
    // DIGCF_ALLCLASSES makes the platform ignore the class GUID: with a class
    // selector it would turn "remove =<class>" into a removal of every device.
    DWORD flags = classGuid != nullptr ? setFlags & ~DIGCF_ALLCLASSES : setFlags | DIGCF_ALLCLASSES;
    devs = SetupDiGetClassDevsExW(classGuid, nullptr, nullptr, flags, nullptr, machine, nullptr);
  } else {
    devs = SetupDiCreateDeviceInfoListExW(classGuid, nullptr, machine, nullptr);
  }
  if (devs == INVALID_HANDLE_VALUE) return devs;
  // A wildcard text names no device and simply fails to open.
  for (int i = 0; i < selection.patternCount; ++i) {
    if (selection.patterns[i].isInstanceId) {
      SetupDiOpenDeviceInfoW(devs, selection.patterns[i].text, nullptr, 0, nullptr);
    }
  }
  return devs;
}

// Ids are read once per device, at the first pattern that needs them.
bool DeviceMatches(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, HMACHINE machine,
                   const Selection& selection) {
  WCHAR id[kDeviceIdChars];
  bool haveId = false;
  StringList hardwareIds = nullptr, compatibleIds = nullptr;
  bool haveLists = false, matched = false;
  for (int i = 0; i < selection.patternCount && !matched; ++i) {
    const IdPattern& pattern = selection.patterns[i];
    if (pattern.isInstanceId) {
      if (!haveId && !ReadDeviceInstanceId(devInfo, machine, id)) id[0] = L'\0';
      haveId = true;
      matched = MatchIdPattern(id, pattern);
      continue;
    }
    if (!haveLists) {
      hardwareIds = GetDeviceMultiSzProperty(devs, devInfo, SPDRP_HARDWAREID);
      compatibleIds = GetDeviceMultiSzProperty(devs, devInfo, SPDRP_COMPATIBLEIDS);
      haveLists = true;
    }
    matched = MatchAnyId(hardwareIds, pattern) || MatchAnyId(compatibleIds, pattern);
  }
  FreeStringList(hardwareIds);
  FreeStringList(compatibleIds);
  return matched;
}

int WalkDeviceSet(HDEVINFO devs, const Selection& selection, DeviceCallback callback,
                  void* context) {
  SP_DEVINFO_LIST_DETAIL_DATA_W detail = {};
  detail.cbSize = sizeof(detail);
  if (!SetupDiGetDeviceInfoListDetailW(devs, &detail)) return RESULT_FAILURE;

  bool matching = selection.searched && !selection.allDevices;
  SP_DEVINFO_DATA devInfo = {};
  devInfo.cbSize = sizeof(devInfo);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devs, index, &devInfo); ++index) {
    if (matching && !DeviceMatches(devs, &devInfo, detail.RemoteMachineHandle, selection)) {
      continue;
    }
    int result = callback(devs, &devInfo, index, context);
    if (result != 0) return result;
  }
  return RESULT_SUCCESS;
}

int SelectAndWalk(const WCHAR* machine, DWORD setFlags, int argc, const WCHAR* const* args,
                  Selection* selection, DeviceCallback callback, void* context) {
  ReadSelectors(argc, args, selection);
  if (selection->className != nullptr) {
    bool found = false;
    int result = LookUpClass(selection->className, machine, &selection->classGuid, &found);
    if (result != RESULT_SUCCESS || !found) return result;
  }
  HDEVINFO devs = BuildDeviceSet(*selection, setFlags, machine);
  if (devs == INVALID_HANDLE_VALUE) return RESULT_FAILURE;
  int result = WalkDeviceSet(devs, *selection, callback, context);
  SetupDiDestroyDeviceInfoList(devs);
  return result;
}

}  // namespace

int ForEachMatchingDevice(const WCHAR*, const WCHAR* machine, DWORD setFlags, int argc,
                          const WCHAR* const* args, DeviceCallback callback, void* context) {
  if (argc <= 0) return RESULT_BAD_USAGE;
  Selection selection;
  selection.patterns =
      static_cast<IdPattern*>(malloc(static_cast<size_t>(argc) * sizeof(IdPattern)));
  if (selection.patterns == nullptr) return RESULT_FAILURE;
  int result = SelectAndWalk(machine, setFlags, argc, args, &selection, callback, context);
  free(selection.patterns);
  return result;
}

}  // namespace devcommands
