// Restarting the local machine: the "reboot" command, and the request that
// the reboot option makes after a command that needs a restart.
#include "devcommands/commands.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

// Without the shutdown privilege the request is refused; failing to get it is
// left for InitiateSystemShutdownExW to report.
void EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  TOKEN_PRIVILEGES privileges = {};
  if (LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

}  // namespace

bool RequestReboot() {
  EnableShutdownPrivilege();
  return InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE,
                                   SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_HARDWARE |
                                       SHTDN_REASON_MINOR_INSTALLATION) != FALSE;
}

int RebootCommand(const WCHAR*, const WCHAR* machine, DWORD, int, const WCHAR* const*) {
  if (machine != nullptr) return RESULT_BAD_USAGE;
  PrintMessage(stdout, MSG_REBOOTING);
  return RequestReboot() ? RESULT_SUCCESS : RESULT_FAILURE;
}

}  // namespace devcommands
