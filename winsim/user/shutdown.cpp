// Shutdown requests: checked as the system checks them, then recorded.
#include "winsim/user/shutdown.h"

#include "winsim/machine/settings.h"
#include "winsim/user/errors.h"
#include "winsim/user/run_state.h"
#include "winsim/user/security.h"

namespace {

constexpr DWORD kMaxShutdownTimeout = 10 * 365 * 24 * 60 * 60;  // ten years, in seconds

struct Shutdowns {
  std::vector<winsim::machine::RestartRequest> requests;
  DWORD refusal = 0;
  bool underWay = false;
};

Shutdowns& State() { return winsim::user::PerRun<Shutdowns>("shutdown requests"); }

// Records the request with the outcome of the checks and reports it.
BOOL Decide(winsim::machine::RestartRequest request, bool needsPrivilege) {
  Shutdowns& s = State();
  DWORD error = ERROR_SUCCESS;
  if (needsPrivilege && !winsim::user::PrivilegeEnabled(SE_SHUTDOWN_NAME)) {
    error = ERROR_PRIVILEGE_NOT_HELD;
  } else if (s.underWay) {
    error = ERROR_SHUTDOWN_IN_PROGRESS;
  } else if (s.refusal != 0) {
    error = s.refusal;
  }
  request.error = error;
  s.requests.push_back(request);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  s.underWay = needsPrivilege;
  return TRUE;
}

}  // namespace

namespace winsim::machine {

const std::vector<RestartRequest>& RestartRequests() { return State().requests; }

int RestartsAccepted() {
  int n = 0;
  for (const RestartRequest& r : State().requests) n += r.error == 0 ? 1 : 0;
  return n;
}

void RefuseShutdown(DWORD error) { State().refusal = error; }

}  // namespace winsim::machine

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  winsim::machine::RestartRequest request;
  request.function = L"ExitWindowsEx";
  request.flags = uFlags;
  request.reason = dwReason;
  request.reboot = (uFlags & EWX_REBOOT) != 0;
  // Logging off ends only the session and needs no privilege.
  bool shutdown = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
  return Decide(request, shutdown);
}

BOOL InitiateSystemShutdownExW(LPWSTR lpMachineName, LPWSTR lpMessage, DWORD dwTimeout,
                               BOOL bForceAppsClosed, BOOL bRebootAfterShutdown, DWORD dwReason) {
  if (lpMachineName != nullptr && *lpMachineName != L'\0') {
    SetLastError(ERROR_BAD_NETPATH);
    return FALSE;
  }
  if (dwTimeout > kMaxShutdownTimeout) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  winsim::machine::RestartRequest request;
  request.function = L"InitiateSystemShutdownExW";
  request.reason = dwReason;
  request.timeout = dwTimeout;
  request.forceAppsClosed = bForceAppsClosed;
  request.reboot = bRebootAfterShutdown;
  request.message = lpMessage != nullptr ? lpMessage : L"";
  return Decide(request, true);
}
