// Opening devices by name and closing them: the object manager's walk
// through symbolic links to a device, what the driver is told, the opens the
// I/O manager refuses, and the cleanup and close that end a file object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "probe.h"
#include "winsim/kernel/fileio.h"

namespace {

namespace wk = winsim::kernel;
using Log = std::vector<std::string>;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kErrorNoSuchDevice =
    433;  // documented; the SDK of the toolchain has no name for it

HANDLE Open(const wchar_t* path, DWORD flags = 0, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
}

// ---- names ---------------------------------------------------------------------

struct NameCase {
  const char* what;
  const wchar_t* path;
  const wchar_t* fileName;  // what the driver sees; nullptr: the open fails
  DWORD error;
};

const NameCase kNames[] = {
    {"link under \\DosDevices", L"\\\\.\\PROBE", L"", 0},
    {"link under \\DosDevices, other case", L"\\\\.\\probe", L"", 0},
    {"link under \\DosDevices\\Global", L"\\\\.\\GPROBE", L"", 0},
    {"link under \\??", L"\\\\.\\QPROBE", L"", 0},
    {"link to a link", L"\\\\.\\CHAIN", L"", 0},
    {"DOS device name", L"COM7", L"", 0},
    {"DOS device name with a colon", L"com7:", L"", 0},
    {"\\\\.\\ form of a DOS device name", L"\\\\.\\COM7", L"", 0},
    {"interface path: the rest goes to the driver",
     L"\\\\?\\USB#VID_2E6B&PID_7A31#SER#{6a1e0c8a-4f0b-4c21-9b5e-1f3d2c7a9e10}\\if0pipe1",
     L"\\if0pipe1", 0},
    {"interface path, other case",
     L"\\\\?\\usb#vid_2e6b&pid_7a31#ser#{6A1E0C8A-4F0B-4C21-9B5E-1F3D2C7A9E10}\\IF0PIPE1",
     L"\\IF0PIPE1", 0},
    {"trailing separator", L"\\\\.\\PROBE\\", L"\\", 0},
    {"no such name", L"\\\\.\\NOPE", nullptr, ERROR_FILE_NOT_FOUND},
    {"no such interface",
     L"\\\\?\\USB#VID_2E6B&PID_7A31#OTHER#{6a1e0c8a-4f0b-4c21-9b5e-1f3d2c7a9e10}\\if0pipe1",
     nullptr, ERROR_PATH_NOT_FOUND},
    {"link to a device that is gone", L"\\\\.\\STALE", nullptr, ERROR_FILE_NOT_FOUND},
    {"COM10 needs the \\\\.\\ form", L"COM10", nullptr, ERROR_FILE_NOT_FOUND},
    {"not a device path", L"readme.txt", nullptr, ERROR_FILE_NOT_FOUND},
};

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, OpenReachesTheDeviceWithTheRestOfThePath) {
  const NameCase& c = GetParam();
  wk::Run(0, [&] {
    PDRIVER_OBJECT driver = probe::Load();
    probe::Probe p;
    probe::AddDevice(driver, &p, L"\\Device\\Probe0");
    const std::vector<std::wstring> links = {
        L"\\DosDevices\\PROBE",
        L"\\DosDevices\\Global\\GPROBE",
        L"\\??\\QPROBE",
        L"\\DosDevices\\CHAIN",
        L"\\DosDevices\\COM7",
        L"\\??\\USB#VID_2E6B&PID_7A31#SER#{6a1e0c8a-4f0b-4c21-9b5e-1f3d2c7a9e10}",
        L"\\DosDevices\\STALE"};
    const std::vector<std::wstring> targets = {
        L"\\Device\\Probe0", L"\\Device\\Probe0", L"\\Device\\Probe0", L"\\DosDevices\\PROBE",
        L"\\Device\\Probe0", L"\\Device\\Probe0", L"\\Device\\Probe1"};
    for (size_t i = 0; i < links.size(); ++i) probe::Link(links[i], targets[i]);

    SetLastError(kSentinel);
    HANDLE h = Open(c.path);
    if (c.fileName != nullptr) {
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
      EXPECT_EQ(p.fileName, c.fileName);
      EXPECT_TRUE(CloseHandle(h));
      EXPECT_EQ(p.log, (Log{"create", "cleanup", "close"}));
    } else {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_TRUE(p.log.empty());
    }
    for (const std::wstring& link : links) probe::Unlink(link);
    probe::TearDown(driver, {&p});
  });
}

INSTANTIATE_TEST_SUITE_P(Paths, Names, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           return "case" + std::to_string(info.index);
                         });

// ---- refused opens ----------------------------------------------------------------

TEST(Open, ExclusiveDeviceTakesOneOpenAtATimeWithoutAskingTheDriver) {
  wk::Run(0, [] {
    PDRIVER_OBJECT driver = probe::Load();
    probe::Probe exclusive, shared;
    probe::AddDevice(driver, &exclusive, L"\\Device\\Exclusive", 0, true);
    probe::AddDevice(driver, &shared, L"\\Device\\Shared");
    probe::Link(L"\\DosDevices\\EXCL", L"\\Device\\Exclusive");
    probe::Link(L"\\DosDevices\\SHARED", L"\\Device\\Shared");

    HANDLE first = Open(L"\\\\.\\EXCL");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(kSentinel);
    EXPECT_EQ(Open(L"\\\\.\\EXCL"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(exclusive.log, (Log{"create"}));
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = Open(L"\\\\.\\EXCL");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_EQ(exclusive.log, (Log{"create", "cleanup", "close", "create", "cleanup", "close"}));

    HANDLE a = Open(L"\\\\.\\SHARED");
    HANDLE b = Open(L"\\\\.\\SHARED");
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    CloseHandle(a);
    CloseHandle(b);

    probe::Unlink(L"\\DosDevices\\EXCL");
    probe::Unlink(L"\\DosDevices\\SHARED");
    probe::TearDown(driver, {&exclusive, &shared});
  });
}

TEST(Open, RefusedOpensLeaveNothingBehind) {
  struct Case {
    const char* what;
    bool ready;
    NTSTATUS createStatus;
    DWORD error;
    Log log;
  };
  const Case cases[] = {
      {"device still initializing", false, STATUS_SUCCESS, kErrorNoSuchDevice, {}},
      {"driver fails the create", true, STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED, {"create"}},
      {"driver fails the create", true, STATUS_NO_SUCH_DEVICE, kErrorNoSuchDevice, {"create"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wk::Run(0, [&] {
      PDRIVER_OBJECT driver = probe::Load();
      probe::Probe p;
      probe::AddDevice(driver, &p, L"\\Device\\Probe0", 0, false, c.ready);
      p.createStatus = c.createStatus;
      probe::Link(L"\\DosDevices\\PROBE", L"\\Device\\Probe0");
      SetLastError(kSentinel);
      EXPECT_EQ(Open(L"\\\\.\\PROBE"), INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
      // A failed create gets no cleanup and no close.
      EXPECT_EQ(p.log, c.log);
      EXPECT_EQ(p.device->ReferenceCount, 0);
      probe::Unlink(L"\\DosDevices\\PROBE");
      probe::TearDown(driver, {&p});
    });
  }
}

TEST(Open, DriverSeesSynchronousFileObjectsAsSuch) {
  probe::WithLinkedProbe(0, [&](PDRIVER_OBJECT, probe::Probe& p) {
    HANDLE sync = Open(L"\\\\.\\PROBE");
    EXPECT_TRUE(p.synchronousFileObject);
    HANDLE overlapped = Open(L"\\\\.\\PROBE", FILE_FLAG_OVERLAPPED);
    EXPECT_FALSE(p.synchronousFileObject);
    CloseHandle(sync);
    CloseHandle(overlapped);
  });
}

// ---- handles ---------------------------------------------------------------------

TEST(Handles, BadHandlesAreRefusedWithInvalidHandle) {
  probe::WithLinkedProbe(0, [&](PDRIVER_OBJECT, probe::Probe& p) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = Open(L"\\\\.\\PROBE");
    CloseHandle(closed);
    p.log.clear();

    // A closed handle, one never issued, an event where a file is wanted,
    // and a kernel handle value.
    for (HANDLE bad :
         {closed, reinterpret_cast<HANDLE>(0x1234), event, reinterpret_cast<HANDLE>(4)}) {
      UCHAR buffer[4];
      DWORD n = kSentinel;
      OVERLAPPED ov{};
      SetLastError(kSentinel);
      EXPECT_FALSE(ReadFile(bad, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      EXPECT_EQ(n, 0u);
      SetLastError(kSentinel);
      EXPECT_FALSE(WriteFile(bad, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(kSentinel);
      EXPECT_FALSE(DeviceIoControl(bad, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                   nullptr, 0, nullptr, 0, &n, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(kSentinel);
      EXPECT_FALSE(CancelIoEx(bad, &ov));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    for (HANDLE bad : {closed, reinterpret_cast<HANDLE>(0x1234), reinterpret_cast<HANDLE>(4)}) {
      SetLastError(kSentinel);
      EXPECT_FALSE(CloseHandle(bad));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      SetLastError(kSentinel);
      EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_TRUE(p.log.empty());
    EXPECT_TRUE(CloseHandle(event));
  });
}

TEST(Handles, RequestsNeedTheAccessTheHandleWasOpenedFor) {
  probe::WithLinkedProbe(0, [&](PDRIVER_OBJECT, probe::Probe& p) {
    HANDLE writeOnly = Open(L"\\\\.\\PROBE", 0, GENERIC_WRITE);
    HANDLE readOnly = Open(L"\\\\.\\PROBE", 0, GENERIC_READ);
    p.log.clear();
    UCHAR buffer[4] = {};
    DWORD n;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(writeOnly, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(readOnly, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // The access bits of a control code are checked against the handle too.
    SetLastError(kSentinel);
    EXPECT_FALSE(DeviceIoControl(
        writeOnly, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_READ_ACCESS), nullptr, 0,
        nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(p.log.empty());
    EXPECT_TRUE(DeviceIoControl(
        writeOnly, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_WRITE_ACCESS), nullptr, 0,
        nullptr, 0, &n, nullptr));
    EXPECT_TRUE(WriteFile(writeOnly, buffer, sizeof buffer, &n, nullptr));
    EXPECT_TRUE(ReadFile(readOnly, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(p.log, (Log{"control", "write", "read"}));
    CloseHandle(writeOnly);
    CloseHandle(readOnly);
  });
}

// ---- cleanup and close --------------------------------------------------------------

TEST(Close, CleanupCancelsThePendingReadBeforeTheClose) {
  probe::WithLinkedProbe(DO_BUFFERED_IO, [&](PDRIVER_OBJECT, probe::Probe& p) {
    p.holdReads = true;
    HANDLE h = Open(L"\\\\.\\PROBE", FILE_FLAG_OVERLAPPED);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = done;
    UCHAR buffer[8];
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(p.log, (Log{"create", "read", "cleanup", "close"}));
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    DWORD n = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    CloseHandle(done);
  });
}

// A driver may keep a request past cleanup; the file object, and the driver's
// state for it, must last until that request is done.
TEST(Close, CloseWaitsForTheLastRequestOfTheFileObject) {
  probe::WithLinkedProbe(DO_DIRECT_IO, [&](PDRIVER_OBJECT driver, probe::Probe& p) {
    p.holdReads = true;
    p.cancelOnCleanup = false;
    HANDLE h = Open(L"\\\\.\\PROBE", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UCHAR buffer[8] = {};
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(p.log, (Log{"create", "read", "cleanup"}));
    EXPECT_EQ(wk::LiveFileObjects(), 1);
    EXPECT_TRUE(probe::Release(driver, &p, {1, 2, 3}));
    // The close comes from a thread of the I/O manager once the read is done.
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, INFINITE), WAIT_OBJECT_0);
    KeWaitForSingleObject(&p.closed, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(p.log, (Log{"create", "read", "cleanup", "close"}));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[2], 3);
    CloseHandle(ov.hEvent);
  });
}

// All I/O on a synchronous handle is serialised, cleanup included: closing
// it from another thread waits for the read in progress.
TEST(Close, ClosingASynchronousHandleWaitsForTheRequestInProgress) {
  probe::WithLinkedProbe(DO_BUFFERED_IO, [&](PDRIVER_OBJECT driver, probe::Probe& p) {
    p.holdReads = true;
    HANDLE h = Open(L"\\\\.\\PROBE");
    bool readDone = false, closeDone = false;
    wk::StartThread("reader", [&] {
      UCHAR buffer[4];
      DWORD n = 0;
      EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(n, 2u);
      readDone = true;
    });
    while (probe::Held(&p) == 0) Sleep(1);
    wk::StartThread("closer", [&] {
      EXPECT_TRUE(CloseHandle(h));
      closeDone = true;
    });
    Sleep(50);
    EXPECT_FALSE(closeDone);
    EXPECT_EQ(p.log, (Log{"create", "read"}));
    EXPECT_TRUE(probe::Release(driver, &p, {7, 8}));
    while (!(readDone && closeDone)) Sleep(1);
    EXPECT_EQ(p.log, (Log{"create", "read", "cleanup", "close"}));
  });
}

}  // namespace
