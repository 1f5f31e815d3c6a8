// What the SetupAPI files share: device information sets and their
// elements, and the checks and copies every function makes the same way.
// Internal to winsim/user.
#pragma once
#include <string>
#include <unordered_map>
#include <vector>

#include "winsim/user/last_error.h"
#include "winsim/user/setupapi.h"

namespace winsim::user {

// Device information sets the programs hold open.
LONG LiveDeviceInfoSets();

}  // namespace winsim::user

namespace winsim::user::setupapi {

// What SetupDi*InstallParams set and read: the install flags and the class
// install parameters, kept for the set and for each of its devices.
struct InstallState {
  DWORD flags = 0;
  DWORD flagsEx = 0;
  std::vector<BYTE> classParams;  // the whole record, header first; empty: none
};

struct Element {
  ULONG_PTR serial;  // SP_DEVINFO_DATA.Reserved: which element of which set
  DWORD devInst;
  GUID classGuid;
  InstallState install{};
};

struct InfoSet {
  bool hasClass = false;
  GUID classGuid{};
  std::vector<Element> elements;
  // Where each element is, by serial and by device: sets of many thousand
  // devices must not cost a scan per call.
  std::unordered_map<ULONG_PTR, size_t> bySerial;
  std::unordered_map<DWORD, size_t> byDevInst;
  InstallState install{};
};

// The set behind a handle; nullptr (and ERROR_INVALID_HANDLE) for anything
// that is not a live set.
InfoSet* FindSet(HDEVINFO handle);

// The element `data` names in the set, and its instance id; nullptr with the
// documented error for a bad set or a bad or foreign SP_DEVINFO_DATA.
Element* ElementOf(HDEVINFO handle, const SP_DEVINFO_DATA* data);
const std::wstring* DeviceOf(HDEVINFO handle, const SP_DEVINFO_DATA* data);

// The install state of the device `data` names, or of the set when `data`
// is null; nullptr with the error as above.
InstallState* InstallStateOf(HDEVINFO handle, const SP_DEVINFO_DATA* data);

// False, with the error the platform reports, for a machine name that is not
// the local machine's, and for a Reserved argument that is not null.
bool LocalMachineArguments(PCWSTR machineName, PVOID reserved);

// Copies `text` and its terminator into a buffer of `size` characters,
// reporting the characters needed; ERROR_INSUFFICIENT_BUFFER when it does
// not fit. Returns the BOOL the function returns.
BOOL CopyText(const std::wstring& text, PWSTR buffer, DWORD size, PDWORD required);

// The same for a list of GUIDs in a buffer of `size` entries; as many as fit
// are copied.
BOOL CopyGuids(const std::vector<GUID>& guids, LPGUID buffer, DWORD size, PDWORD required);

using winsim::user::Fail;

}  // namespace winsim::user::setupapi
