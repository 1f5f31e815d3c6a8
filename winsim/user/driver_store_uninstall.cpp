// SetupUninstallOEMInfW: a third-party INF out of the store, unless a device
// was installed from it. Windows records that installation in the device's
// driver key (Control\Class\<Driver value>), whose InfPath names the INF.
#include <string>

#include "winsim/kernel/registry_store.h"
#include "winsim/machine/files.h"
#include "winsim/user/devicedb.h"
#include "winsim/user/driver_store.h"
#include "winsim/user/driver_store_internal.h"
#include "winsim/user/files.h"
#include "winsim/user/last_error.h"

namespace db = winsim::user::devicedb;
namespace store = winsim::user::store;

namespace {

using winsim::user::Fail;

// Any device node, present or not, whose driver key names the INF.
bool InUseByDevices(const std::wstring& infName) {
  db::UseMachine();
  for (const std::wstring& id : db::InstanceIds()) {
    std::wstring infPath;
    if (db::ReadString(db::DriverKey(id), L"InfPath", &infPath) &&
        db::SameNoCase(infPath, infName)) {
      return true;
    }
  }
  return false;
}

}  // namespace

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
  if (Reserved != nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (Flags & ~DWORD{SUOI_FORCEDELETE}) return Fail(ERROR_INVALID_FLAGS);
  if (InfFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring name = InfFileName;
  std::wstring path = store::InStore(name);
  if (!store::IsOemInfName(name) || !winsim::machine::FileExists(path)) {
    return Fail(ERROR_NOT_AN_INSTALLED_OEM_INF);
  }
  if (!(Flags & SUOI_FORCEDELETE) && InUseByDevices(name)) {
    return Fail(ERROR_INF_IN_USE_BY_DEVICES);
  }
  if (!DeleteFileW(path.c_str())) return FALSE;
  // An INF may have lost its precompiled file already; that is no failure.
  DeleteFileW(store::InStore(store::PnfName(name)).c_str());
  store::ForgetSignature(path);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
