// CreateFileW and the functions on its handles, over the kernel's file
// services: Win32 paths become NT paths, OVERLAPPED structures serve as the
// requests' status blocks, and failed statuses become system error codes.
#include "winsim/user/fileapi.h"

#include <cwctype>
#include <string>

#include "winsim/kernel/fileio.h"
#include "winsim/user/errors.h"
#include "winsim/user/files.h"
#include "winsim/user/synchapi.h"

namespace wk = winsim::kernel;
using winsim::user::SetLastErrorFromStatus;

namespace {

BOOL Fail(NTSTATUS status) {
  SetLastErrorFromStatus(status);
  return FALSE;
}

// "COM1".."COM9" and "LPT1".."LPT9", with or without a trailing colon, name
// devices wherever they appear; higher numbers need the "\\.\" form.
bool IsDosDeviceName(const std::wstring& name) {
  std::wstring n = name;
  if (!n.empty() && n.back() == L':') n.pop_back();
  if (n.size() != 4 || n[3] < L'1' || n[3] > L'9') return false;
  std::wstring stem;
  for (int i = 0; i < 3; ++i) stem += static_cast<wchar_t>(std::towupper(n[i]));
  return stem == L"COM" || stem == L"LPT";
}

// The NT path for a Win32 device path, or empty when it names no device.
std::wstring NtPathOf(const std::wstring& path) {
  if (path.size() > 4 && path[0] == L'\\' && path[1] == L'\\' &&
      (path[2] == L'.' || path[2] == L'?') && path[3] == L'\\') {
    return L"\\??\\" + path.substr(4);
  }
  if (IsDosDeviceName(path)) {
    std::wstring n = path;
    if (n.back() == L':') n.pop_back();
    return L"\\??\\" + n;
  }
  return {};
}

HANDLE EventOf(const OVERLAPPED* ov) {
  // A set low bit only keeps the completion off a completion port.
  return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1});
}

struct Outcome {
  NTSTATUS status;
  ULONG_PTR information;
};

// One request as the Win32 functions make it. With an OVERLAPPED, the
// structure is the status block and its offset and event are used; the
// status is STATUS_PENDING while an overlapped handle's request runs.
// Without one the call waits for the request: the system waits on the file
// handle, which any completion on it signals, so a private event is used
// here to wait for this request alone.
template <typename Call>
Outcome Perform(LPOVERLAPPED ov, Call call) {
  if (ov != nullptr) {
    ov->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    ov->InternalHigh = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = (static_cast<LONGLONG>(ov->OffsetHigh) << 32) | ov->Offset;
    NTSTATUS status = call(EventOf(ov), reinterpret_cast<PIO_STATUS_BLOCK>(ov), &offset);
    return {status, status == STATUS_PENDING ? 0 : ov->InternalHigh};
  }
  HANDLE done = nullptr;
  NTSTATUS status = wk::NtCreateEvent(&done, NotificationEvent, FALSE);
  if (!NT_SUCCESS(status)) return {status, 0};
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  status = call(done, &iosb, nullptr);
  if (status == STATUS_PENDING) {
    wk::NtWaitForSingleObject(done, FALSE, nullptr);
    status = iosb.Status;
  }
  wk::NtClose(done);
  return {status, iosb.Information};
}

// ReadFile and WriteFile report alike; a synchronous read at the end of a
// file succeeds with no bytes.
BOOL Report(const Outcome& o, LPDWORD transferred, bool endOfFileIsSuccess) {
  if (o.status == STATUS_PENDING) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (NT_SUCCESS(o.status)) {
    if (transferred != nullptr) *transferred = static_cast<DWORD>(o.information);
    return TRUE;
  }
  if (o.status == STATUS_END_OF_FILE && endOfFileIsSuccess) return TRUE;
  if (NT_WARNING(o.status) && transferred != nullptr) {
    *transferred = static_cast<DWORD>(o.information);
  }
  return Fail(o.status);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
  static const ULONG kDispositions[] = {0,         FILE_CREATE,  FILE_OVERWRITE_IF,
                                        FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
  if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
      dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring path = NtPathOf(lpFileName);
  if (path.empty()) {
    return winsim::user::OpenRegularFile(lpFileName, dwDesiredAccess, dwShareMode,
                                         dwCreationDisposition);
  }
  ULONG options = FILE_NON_DIRECTORY_FILE;
  if (!(dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) options |= FILE_SYNCHRONOUS_IO_NONALERT;
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = wk::NtCreateFile(&handle, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                     path, &iosb, dwFlagsAndAttributes & 0xFFFF, dwShareMode,
                                     kDispositions[dwCreationDisposition], options);
  if (!NT_SUCCESS(status)) {
    SetLastErrorFromStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL CloseHandle(HANDLE hObject) {
  if (winsim::user::CloseProgramObject(hObject)) return TRUE;
  NTSTATUS status = wk::NtClose(hObject);
  return NT_SUCCESS(status) ? TRUE : Fail(status);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (winsim::user::IsRegularFile(hFile)) {
    return winsim::user::ReadRegularFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                         lpOverlapped);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  Outcome o = Perform(lpOverlapped, [&](HANDLE event, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER at) {
    return wk::NtReadFile(hFile, event, iosb, lpBuffer, nNumberOfBytesToRead, at);
  });
  return Report(o, lpNumberOfBytesRead, lpOverlapped == nullptr);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  Outcome o = Perform(lpOverlapped, [&](HANDLE event, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER at) {
    return wk::NtWriteFile(hFile, event, iosb, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                           at);
  });
  return Report(o, lpNumberOfBytesWritten, false);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped == nullptr && lpBytesReturned == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Outcome o = Perform(lpOverlapped, [&](HANDLE event, PIO_STATUS_BLOCK iosb, PLARGE_INTEGER) {
    return wk::NtDeviceIoControlFile(hDevice, event, iosb, dwIoControlCode, lpInBuffer,
                                     nInBufferSize, lpOutBuffer, nOutBufferSize);
  });
  if (o.status == STATUS_PENDING) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  // The documented count: what the driver reported, also with a warning
  // (ERROR_MORE_DATA), and zero after an error.
  if (lpBytesReturned != nullptr) {
    *lpBytesReturned = NT_ERROR(o.status) ? 0 : static_cast<DWORD>(o.information);
  }
  return NT_SUCCESS(o.status) ? TRUE : Fail(o.status);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (static_cast<NTSTATUS>(lpOverlapped->Internal) == STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE event = EventOf(lpOverlapped);
    NTSTATUS waited = wk::NtWaitForSingleObject(event != nullptr ? event : hFile, FALSE, nullptr);
    if (!NT_SUCCESS(waited)) return Fail(waited);
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  auto status = static_cast<NTSTATUS>(lpOverlapped->Internal);
  return NT_SUCCESS(status) ? TRUE : Fail(status);
}

BOOL CancelIo(HANDLE hFile) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = wk::NtCancelIoFile(hFile, &iosb);
  return NT_SUCCESS(status) ? TRUE : Fail(status);
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status =
      wk::NtCancelIoFileEx(hFile, reinterpret_cast<PIO_STATUS_BLOCK>(lpOverlapped), &iosb);
  return NT_SUCCESS(status) ? TRUE : Fail(status);
}
