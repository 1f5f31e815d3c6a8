#include "winsim/user/version.h"

#include <cstring>

#include "winsim/machine/settings.h"
#include "winsim/user/errors.h"
#include "winsim/user/run_state.h"

namespace {

winsim::machine::Version& Current() {
  return winsim::user::PerRun<winsim::machine::Version>("version");
}

}  // namespace

namespace winsim::machine {

void SetVersion(const Version& version) { Current() = version; }
const Version& CurrentVersion() { return Current(); }

}  // namespace winsim::machine

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
  if (lpVersionInformation == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  bool extended = size == sizeof(OSVERSIONINFOEXW);
  if (!extended && size != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const winsim::machine::Version& v = Current();
  OSVERSIONINFOW* info = lpVersionInformation;
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = v.platformId;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  size_t n = std::min(v.servicePack.size(), size_t{127});
  std::memcpy(info->szCSDVersion, v.servicePack.data(), n * sizeof(WCHAR));
  if (extended) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
    ex->wServicePackMajor = v.servicePackMajor;
    ex->wServicePackMinor = v.servicePackMinor;
    ex->wSuiteMask = VER_SUITE_SINGLEUSERTS;
    ex->wProductType = VER_NT_WORKSTATION;
    ex->wReserved = 0;
  }
  return TRUE;
}
