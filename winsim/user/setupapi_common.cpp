// Argument checks and copies the SetupAPI functions share.
#include <algorithm>

#include "winsim/user/cfgmgr_internal.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace winsim::user::setupapi {

bool LocalMachineArguments(PCWSTR machineName, PVOID reserved) {
  if (reserved != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (devicedb::IsLocalMachine(machineName)) return true;
  // SetupAPI reaches another machine through the configuration manager and
  // reports its answer as the matching device installation error.
  CONFIGRET cr = RemoteMachineResult(machineName);
  return Fail(cr == CR_INVALID_MACHINENAME ? ERROR_INVALID_MACHINENAME : ERROR_MACHINE_UNAVAILABLE);
}

BOOL CopyText(const std::wstring& text, PWSTR buffer, DWORD size, PDWORD required) {
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required != nullptr) *required = needed;
  if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(text.c_str(), text.c_str() + needed, buffer);
  return TRUE;
}

BOOL CopyGuids(const std::vector<GUID>& guids, LPGUID buffer, DWORD size, PDWORD required) {
  if (required != nullptr) *required = static_cast<DWORD>(guids.size());
  if (buffer == nullptr && size != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  std::copy_n(guids.begin(), std::min<size_t>(size, guids.size()), buffer);
  if (guids.size() > size) return Fail(ERROR_INSUFFICIENT_BUFFER);
  return TRUE;
}

}  // namespace winsim::user::setupapi
