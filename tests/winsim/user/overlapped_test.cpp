// Requests that stay pending: overlapped handles, GetOverlappedResult, what
// runs meanwhile, and cancellation. The interleaving tests run under many
// seeds, so the scheduler tries other orders of the same steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "probe.h"
#include "winsim/kernel/fileio.h"

namespace {

namespace wk = winsim::kernel;
using Bytes = std::vector<UCHAR>;
using Log = std::vector<std::string>;

constexpr DWORD kSentinel = 0xdeadbeef;

// Runs `scenario` under seed 0 and seeds 1..40; stops at the first seed that
// failed and names it.
void ForSeeds(const std::function<void()>& scenario) {
  for (uint64_t seed = 0; seed <= 40; ++seed) {
    int before =
        ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    wk::Run(seed, scenario);
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
        before) {
      ADD_FAILURE() << "failed under seed " << seed;
      return;
    }
  }
}

struct Machine {
  PDRIVER_OBJECT driver;
  probe::Probe reader;  // holds reads until released
  probe::Probe other;   // answers at once

  Machine() {
    driver = probe::Load();
    probe::AddDevice(driver, &reader, L"\\Device\\Reader", DO_BUFFERED_IO);
    probe::AddDevice(driver, &other, L"\\Device\\Other", DO_DIRECT_IO);
    probe::Link(L"\\DosDevices\\READER", L"\\Device\\Reader");
    probe::Link(L"\\DosDevices\\OTHER", L"\\Device\\Other");
    reader.holdReads = true;
    other.readData = {9, 9};
  }
  ~Machine() {
    probe::Unlink(L"\\DosDevices\\READER");
    probe::Unlink(L"\\DosDevices\\OTHER");
    probe::TearDown(driver, {&reader, &other});
  }
  static HANDLE Open(const wchar_t* path, DWORD flags) {
    HANDLE h =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
};

// Waits in virtual time until `done` holds.
template <typename Done>
void Await(Done done) {
  for (int i = 0; i < 10000 && !done(); ++i) Sleep(1);
  ASSERT_TRUE(done());
}

TEST(Overlapped, ReadStaysPendingWhileOtherRequestsRunThenCompletes) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // reset by ReadFile
    UCHAR buffer[8] = {};
    DWORD n = kSentinel;
    SetLastError(kSentinel);
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    // Another thread's requests, on this handle and another, complete meanwhile.
    bool otherDone = false;
    wk::StartThread("other", [&] {
      HANDLE o = Machine::Open(L"\\\\.\\OTHER", 0);
      UCHAR data[4];
      DWORD got = 0;
      EXPECT_TRUE(ReadFile(o, data, sizeof data, &got, nullptr));
      EXPECT_EQ(got, 2u);
      OVERLAPPED wov{};
      wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      const UCHAR out[] = {1, 2, 3};
      EXPECT_TRUE(WriteFile(h, out, sizeof out, &got, &wov));
      EXPECT_EQ(got, 3u);
      CloseHandle(wov.hEvent);
      CloseHandle(o);
      otherDone = true;
    });
    Await([&] { return otherDone; });
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(m.reader.written, (Bytes{1, 2, 3}));

    // The device answers from its own thread.
    wk::StartThread("device", [&] { EXPECT_TRUE(probe::Release(m.driver, &m.reader, {4, 5, 6})); });
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{4, 5, 6}));
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_SUCCESS);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
  });
}

TEST(Overlapped, GetOverlappedResultWaitsOnTheHandleWithoutAnEvent) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    UCHAR buffer[4];
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &ov));
    wk::StartThread("device", [&] {
      Sleep(100);
      EXPECT_TRUE(probe::Release(m.driver, &m.reader, {1, 2}));
    });
    uint64_t before = winsim::host::Now();
    DWORD n = kSentinel;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_GE(winsim::host::Now() - before, 100u * 10000u);
    EXPECT_EQ(n, 2u);
    CloseHandle(h);
  });
}

// A synchronous handle lets one request in at a time; an overlapped one lets
// a write reach the driver while a read is held.
TEST(Overlapped, SynchronousHandlesSerialiseOverlappedHandlesDoNot) {
  for (DWORD flags : {DWORD{0}, DWORD{FILE_FLAG_OVERLAPPED}}) {
    SCOPED_TRACE(flags ? "overlapped" : "synchronous");
    ForSeeds([&] {
      Machine m;
      HANDLE h = Machine::Open(L"\\\\.\\READER", flags);
      OVERLAPPED rov{}, wov{};
      rov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      UCHAR buffer[4];
      bool writeDone = false;
      wk::StartThread("reader", [&] {
        DWORD got = 0;
        BOOL ok = ReadFile(h, buffer, sizeof buffer, &got, &rov);
        if (!ok) {
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
      });
      Await([&] { return probe::Held(&m.reader) == 1; });
      wk::StartThread("writer", [&] {
        const UCHAR out[] = {7};
        DWORD got = 0;
        if (!WriteFile(h, out, sizeof out, &got, &wov)) {
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        writeDone = true;
      });
      Sleep(20);
      if (flags) {
        EXPECT_TRUE(writeDone);
        EXPECT_EQ(m.reader.log, (Log{"create", "read", "write"}));
      } else {
        EXPECT_FALSE(writeDone);
        EXPECT_EQ(m.reader.log, (Log{"create", "read"}));
      }
      EXPECT_TRUE(probe::Release(m.driver, &m.reader, {1}));
      Await([&] { return writeDone; });
      EXPECT_EQ(WaitForSingleObject(wov.hEvent, INFINITE), WAIT_OBJECT_0);
      EXPECT_EQ(m.reader.log, (Log{"create", "read", "write"}));
      CloseHandle(rov.hEvent);
      CloseHandle(wov.hEvent);
      CloseHandle(h);
    });
  }
}

// ---- cancellation ------------------------------------------------------------------

TEST(Cancel, CancelIoExAbortsThePendingReadThroughTheDriversCancelRoutine) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", FILE_FLAG_OVERLAPPED);
    OVERLAPPED first{}, second{}, unused{};
    first.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    second.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UCHAR a[4], b[4];
    ASSERT_FALSE(ReadFile(h, a, sizeof a, nullptr, &first));
    ASSERT_FALSE(ReadFile(h, b, sizeof b, nullptr, &second));

    SetLastError(kSentinel);
    EXPECT_FALSE(CancelIoEx(h, &unused));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // From another thread, only the request with that OVERLAPPED.
    bool cancelled = false;
    wk::StartThread("canceller", [&] {
      EXPECT_TRUE(CancelIoEx(h, &first));
      cancelled = true;
    });
    Await([&] { return cancelled; });
    EXPECT_EQ(WaitForSingleObject(first.hEvent, INFINITE), WAIT_OBJECT_0);
    DWORD n = kSentinel;
    SetLastError(kSentinel);
    EXPECT_FALSE(GetOverlappedResult(h, &first, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(probe::Held(&m.reader), 1);
    EXPECT_EQ(m.reader.log, (Log{"create", "read", "read", "cancel"}));
    SetLastError(kSentinel);
    EXPECT_FALSE(CancelIoEx(h, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // NULL: every request of the handle.
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_FALSE(GetOverlappedResult(h, &second, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    SetLastError(kSentinel);
    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    CloseHandle(first.hEvent);
    CloseHandle(second.hEvent);
    CloseHandle(h);
  });
}

TEST(Cancel, CancelIoCancelsOnlyTheCallingThreadsRequests) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", FILE_FLAG_OVERLAPPED);
    OVERLAPPED mine{}, theirs{};
    mine.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    theirs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UCHAR a[4], b[4];
    ASSERT_FALSE(ReadFile(h, a, sizeof a, nullptr, &mine));
    bool issued = false;
    wk::StartThread("other", [&] {
      EXPECT_FALSE(ReadFile(h, b, sizeof b, nullptr, &theirs));
      issued = true;
    });
    Await([&] { return issued; });
    EXPECT_TRUE(CancelIo(h));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &mine, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&theirs));
    EXPECT_TRUE(probe::Release(m.driver, &m.reader, {3}));
    EXPECT_TRUE(GetOverlappedResult(h, &theirs, &n, TRUE));
    EXPECT_EQ(n, 1u);
    // Nothing of the thread's is left: CancelIo still succeeds.
    EXPECT_TRUE(CancelIo(h));
    CloseHandle(mine.hEvent);
    CloseHandle(theirs.hEvent);
    CloseHandle(h);
  });
}

// CancelIoEx from another thread is how a program ends a synchronous read
// that would otherwise wait for ever.
TEST(Cancel, CancelIoExEndsAnotherThreadsSynchronousRead) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", 0);
    bool returned = false;
    wk::StartThread("reader", [&] {
      UCHAR buffer[4];
      DWORD n = kSentinel;
      SetLastError(kSentinel);
      EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
      EXPECT_EQ(n, 0u);
      returned = true;
    });
    Await([&] { return probe::Held(&m.reader) == 1; });
    EXPECT_TRUE(CancelIoEx(h, nullptr));
    Await([&] { return returned; });
    CloseHandle(h);
  });
}

TEST(Cancel, ClosingWithReadsPendingOnSeveralThreadsLeavesNothing) {
  ForSeeds([] {
    Machine m;
    HANDLE h = Machine::Open(L"\\\\.\\READER", FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov[3] = {};
    UCHAR buffers[3][4];
    int issued = 0;
    for (int i = 0; i < 3; ++i) {
      ov[i].hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      wk::StartThread("reader " + std::to_string(i), [&, i] {
        EXPECT_FALSE(ReadFile(h, buffers[i], sizeof buffers[i], nullptr, &ov[i]));
        ++issued;
      });
    }
    Await([&] { return issued == 3; });
    EXPECT_TRUE(CloseHandle(h));
    HANDLE events[3] = {ov[0].hEvent, ov[1].hEvent, ov[2].hEvent};
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, INFINITE), WAIT_OBJECT_0);
    for (auto& o : ov) {
      EXPECT_EQ(static_cast<NTSTATUS>(o.Internal), STATUS_CANCELLED);
      CloseHandle(o.hEvent);
    }
    EXPECT_EQ(m.reader.log.back(), "close");
  });
}

}  // namespace
