// The translation from the status a driver completes a request with to what
// a program sees: the return value, GetLastError and the byte count.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32.h"
#include "probe.h"
#include "winsim/kernel/fileio.h"

namespace {

namespace wk = winsim::kernel;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kErrorNoSuchDevice =
    433;  // documented; the SDK of the toolchain has no name for it

struct Translation {
  NTSTATUS status;
  DWORD error;
};

// The documented RtlNtStatusToDosError results (KB113996; Wine 8.0 where
// later Windows versions differ from that table).
const Translation kTranslations[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_NO_SUCH_DEVICE, kErrorNoSuchDevice},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_SERIAL_COUNTER_TIMEOUT, ERROR_COUNTER_TIMEOUT},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    // Made from a system error code: the code comes back.
    {static_cast<NTSTATUS>(0xC0070005), ERROR_ACCESS_DENIED},
    {static_cast<NTSTATUS>(0x80070057), ERROR_INVALID_PARAMETER},
    // Customer-defined: passed through. Unknown: no mapping.
    {static_cast<NTSTATUS>(0xE0000001), 0xE0000001},
    {static_cast<NTSTATUS>(0xC0001234), ERROR_MR_MID_NOT_FOUND},
};

TEST(Errors, TranslationOfEachStatus) {
  for (const Translation& t : kTranslations) {
    EXPECT_EQ(winsim::user::Win32ErrorFromStatus(t.status), t.error)
        << "status 0x" << std::hex << static_cast<ULONG>(t.status);
  }
}

// Every error status a driver completes a request with reaches the program
// through the same translation, with and without an OVERLAPPED.
TEST(Errors, FailedRequestsReportTheTranslatedError) {
  wk::Run(0, [] {
    PDRIVER_OBJECT driver = probe::Load();
    probe::Probe p;
    probe::AddDevice(driver, &p, L"\\Device\\Probe0", DO_BUFFERED_IO);
    probe::Link(L"\\DosDevices\\PROBE", L"\\Device\\Probe0");
    HANDLE sync = CreateFileW(L"\\\\.\\PROBE", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE async = CreateFileW(L"\\\\.\\PROBE", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE);
    ASSERT_NE(async, INVALID_HANDLE_VALUE);
    p.readData = {1, 2, 3, 4};
    for (const Translation& t : kTranslations) {
      // The end of a file is no failure for a synchronous read (NonErrorStatusesOfReads).
      if (!NT_ERROR(t.status) || t.status == STATUS_END_OF_FILE) continue;
      SCOPED_TRACE(::testing::Message() << "status 0x" << std::hex << static_cast<ULONG>(t.status));
      p.readStatus = t.status;
      p.readInformation = 0;
      UCHAR buffer[4];
      DWORD n = kSentinel;
      SetLastError(kSentinel);
      EXPECT_FALSE(ReadFile(sync, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(GetLastError(), t.error);
      EXPECT_EQ(n, 0u);
      OVERLAPPED ov{};
      SetLastError(kSentinel);
      EXPECT_FALSE(ReadFile(async, buffer, sizeof buffer, &n, &ov));
      EXPECT_EQ(GetLastError(), t.error);
      EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), t.status);
      SetLastError(kSentinel);
      EXPECT_FALSE(GetOverlappedResult(async, &ov, &n, FALSE));
      EXPECT_EQ(GetLastError(), t.error);
    }
    CloseHandle(sync);
    CloseHandle(async);
    probe::Unlink(L"\\DosDevices\\PROBE");
    probe::TearDown(driver, {&p});
  });
}

// Statuses that are not errors: informational ones succeed, a warning fails
// but still reports its bytes, and the end of a file is success with no
// bytes for a synchronous read and ERROR_HANDLE_EOF for an overlapped one.
TEST(Errors, NonErrorStatusesOfReads) {
  struct Case {
    const char* what;
    NTSTATUS status;
    bool overlapped;
    BOOL result;
    DWORD error;
    DWORD bytes;
  };
  const Case cases[] = {
      {"serial read time-out", STATUS_TIMEOUT, false, TRUE, kSentinel, 2},
      {"serial read time-out, overlapped", STATUS_TIMEOUT, true, TRUE, kSentinel, 2},
      {"overflow warning", STATUS_BUFFER_OVERFLOW, false, FALSE, ERROR_MORE_DATA, 2},
      {"overflow warning, overlapped", STATUS_BUFFER_OVERFLOW, true, FALSE, ERROR_MORE_DATA, 2},
      {"end of file", STATUS_END_OF_FILE, false, TRUE, kSentinel, 0},
      {"end of file, overlapped", STATUS_END_OF_FILE, true, FALSE, ERROR_HANDLE_EOF, 0},
  };
  wk::Run(0, [&] {
    PDRIVER_OBJECT driver = probe::Load();
    probe::Probe p;
    probe::AddDevice(driver, &p, L"\\Device\\Probe0", DO_BUFFERED_IO);
    probe::Link(L"\\DosDevices\\PROBE", L"\\Device\\Probe0");
    p.readData = {5, 6};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      HANDLE h = CreateFileW(L"\\\\.\\PROBE", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             c.overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
      p.readStatus = c.status;
      p.readInformation = c.status == STATUS_END_OF_FILE ? 0 : ~ULONG_PTR{0};
      UCHAR buffer[4] = {};
      DWORD n = kSentinel;
      OVERLAPPED ov{};
      SetLastError(kSentinel);
      EXPECT_EQ(ReadFile(h, buffer, sizeof buffer, &n, c.overlapped ? &ov : nullptr), c.result);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(n, c.bytes);
      if (c.bytes != 0) {
        EXPECT_EQ(buffer[1], 6);
      }
      CloseHandle(h);
    }
    probe::Unlink(L"\\DosDevices\\PROBE");
    probe::TearDown(driver, {&p});
  });
}

TEST(Errors, EachThreadHasItsOwnLastError) {
  wk::Run(0, [] {
    SetLastError(11);
    DWORD seen = kSentinel;
    wk::StartThread("other", [&] {
      seen = GetLastError();
      SetLastError(22);
    });
    Sleep(1);
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 11u);
  });
}

}  // namespace
