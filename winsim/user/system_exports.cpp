// Which of the stand-in's functions programs can bind by name. Listing them
// here also links them into any program that loads libraries.
#include "winsim/user/system_exports.h"

#include "winsim/machine/libraries.h"
#include "winsim/user/driver_store.h"
#include "winsim/user/ole.h"

namespace winsim::user {

std::vector<SystemExport> SystemExports() {
  using machine::AsExport;
  return {
      {L"setupapi.dll", "SetupCopyOEMInfW", AsExport(SetupCopyOEMInfW)},
      {L"setupapi.dll", "SetupUninstallOEMInfW", AsExport(SetupUninstallOEMInfW)},
      {L"setupapi.dll", "SetupVerifyInfFileW", AsExport(SetupVerifyInfFileW)},
      {L"ole32.dll", "CLSIDFromString", AsExport(CLSIDFromString)},
  };
}

}  // namespace winsim::user
