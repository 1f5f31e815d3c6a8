// Events, waits and Sleep as programs use them, in virtual time.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/fileio.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;
namespace host = winsim::host;

constexpr uint64_t kMillisecond = 10000;  // in 100 ns units

TEST(Waits, TimeOutsPassInVirtualTime) {
  wk::Run(0, [] {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint64_t start = host::Now();
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(host::Now(), start);
    EXPECT_EQ(WaitForSingleObject(event, 2000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(host::Now() - start, 2000 * kMillisecond);
    Sleep(250);
    EXPECT_EQ(host::Now() - start, 2250 * kMillisecond);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(wk::OpenProcessHandles(), 0);
  });
}

TEST(Waits, ManualResetEventsStaySetAutoResetEventsReleaseOneWaiter) {
  wk::Run(0, [] {
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    int woken = 0;
    for (int i = 0; i < 2; ++i) {
      wk::StartThread("waiter", [&] {
        EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
        ++woken;
      });
    }
    Sleep(10);
    EXPECT_TRUE(SetEvent(automatic));
    Sleep(10);
    EXPECT_EQ(woken, 1);
    EXPECT_TRUE(SetEvent(automatic));
    Sleep(10);
    EXPECT_EQ(woken, 2);
    CloseHandle(manual);
    CloseHandle(automatic);
  });
}

TEST(Waits, WaitForMultipleObjectsAnyAndAll) {
  wk::Run(0, [] {
    std::vector<HANDLE> events;
    for (int i = 0; i < 5; ++i) events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    wk::StartThread("setter", [&] {
      Sleep(30);
      SetEvent(events[3]);
      Sleep(30);
      for (HANDLE e : events) SetEvent(e);
    });
    uint64_t start = host::Now();
    EXPECT_EQ(WaitForMultipleObjects(5, events.data(), FALSE, INFINITE), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(host::Now() - start, 30 * kMillisecond);
    EXPECT_EQ(WaitForMultipleObjects(5, events.data(), TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(host::Now() - start, 60 * kMillisecond);

    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, events.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE withBad[2] = {events[0], reinterpret_cast<HANDLE>(0x99)};
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE e : events) CloseHandle(e);
  });
}

}  // namespace
