// Events, waits and Sleep over the kernel's process handles.
#include "winsim/user/synchapi.h"

#include "winsim/kernel/fileio.h"
#include "winsim/user/errors.h"

namespace wk = winsim::kernel;
using winsim::user::SetLastErrorFromStatus;

namespace {

// Milliseconds as a relative kernel time-out; INFINITE as none.
PLARGE_INTEGER Timeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE) return nullptr;
  storage->QuadPart = -10000LL * milliseconds;
  return storage;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  if (status >= STATUS_WAIT_0 && status <= STATUS_WAIT_63) return static_cast<DWORD>(status);
  SetLastErrorFromStatus(status);
  return WAIT_FAILED;
}

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  HANDLE event = nullptr;
  NTSTATUS status =
      wk::NtCreateEvent(&event, bManualReset ? NotificationEvent : SynchronizationEvent,
                        bInitialState ? TRUE : FALSE);
  if (!NT_SUCCESS(status)) {
    SetLastErrorFromStatus(status);
    return nullptr;
  }
  return event;
}

BOOL SetEvent(HANDLE hEvent) {
  NTSTATUS status = wk::NtSetEvent(hEvent, nullptr);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastErrorFromStatus(status);
  return FALSE;
}

BOOL ResetEvent(HANDLE hEvent) {
  NTSTATUS status = wk::NtResetEvent(hEvent, nullptr);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastErrorFromStatus(status);
  return FALSE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  LARGE_INTEGER storage;
  return WaitResult(wk::NtWaitForSingleObject(hHandle, FALSE, Timeout(dwMilliseconds, &storage)));
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
  LARGE_INTEGER storage;
  return WaitResult(wk::NtWaitForMultipleObjects(nCount, lpHandles, bWaitAll ? WaitAll : WaitAny,
                                                 FALSE, Timeout(dwMilliseconds, &storage)));
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == INFINITE) {
    // Nothing will set it: the thread sleeps until the run ends or is found deadlocked.
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wk::NtWaitForSingleObject(never, FALSE, nullptr);
    wk::NtClose(never);
    return;
  }
  LARGE_INTEGER interval;
  wk::NtDelayExecution(FALSE, Timeout(dwMilliseconds, &interval));
}
