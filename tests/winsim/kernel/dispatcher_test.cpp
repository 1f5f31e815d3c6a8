// Dispatcher objects: notification and synchronization events, waits on one
// or several objects, time-outs, and thread objects as waitable objects.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel.h"
#include "tests/winsim/kernel/seeds.h"
#include "winsim/kernel/sim.h"

namespace {

namespace host = winsim::host;
namespace sim = winsim::kernel;
using winsim::testing::ForEachSeed;
using winsim::testing::Seeds;

constexpr LONGLONG kSecond = 10'000'000;  // 100 ns units

LONGLONG Now() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

void Sleep(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Lets every other runnable thread run until it blocks: the clock only moves
// when no thread can run.
void Settle() { Sleep(1); }

NTSTATUS Poll(PVOID object) {
  LARGE_INTEGER zero{};
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS WaitForever(PVOID object) {
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// ---- events -------------------------------------------------------------------

struct WakeCase {
  const char* name;
  EVENT_TYPE type;
  LONG wokenPerSet;  // by one KeSetEvent, with three threads waiting
  LONG stateAfterSet;
};

const WakeCase kWakeCases[] = {
    {"notification: one set releases every waiter and stays set", NotificationEvent, 3, 1},
    {"synchronization: one set releases one waiter and resets", SynchronizationEvent, 1, 0},
};

TEST(Events, OneSetWakesEveryWaiterOfANotificationEventButOneOfASynchronizationEvent) {
  for (const WakeCase& c : kWakeCases) {
    SCOPED_TRACE(c.name);
    ForEachSeed(Seeds::Range(0, 9), [&](uint64_t seed) {
      KEVENT event;
      LONG woken = 0;
      sim::Run(seed, [&] {
        KeInitializeEvent(&event, c.type, FALSE);
        for (const char* name : {"w1", "w2", "w3"}) {
          sim::StartThread(name, [&] {
            EXPECT_EQ(WaitForever(&event), STATUS_WAIT_0);
            woken++;
          });
        }
        Settle();
        for (LONG expected = c.wokenPerSet; expected <= 3; expected += c.wokenPerSet) {
          EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "the event was not set";
          Settle();
          EXPECT_EQ(woken, expected);
          EXPECT_EQ(KeReadStateEvent(&event), c.stateAfterSet);
        }
      });
    });
  }
}

TEST(Events, SetAndResetReturnThePreviousState) {
  sim::Run(0, [] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeResetEvent(&event), 0);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT);

    KEVENT initiallySet;
    KeInitializeEvent(&initiallySet, NotificationEvent, TRUE);
    EXPECT_NE(KeResetEvent(&initiallySet), 0);
  });
}

TEST(Events, ASatisfiedWaitResetsOnlyASynchronizationEvent) {
  sim::Run(0, [] {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(Poll(&notification), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&notification), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    EXPECT_EQ(Poll(&synchronization), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(Poll(&synchronization), STATUS_TIMEOUT);
  });
}

// ---- several objects ----------------------------------------------------------

struct AnyCase {
  const char* name;
  std::vector<bool> signalled;  // one synchronization event per entry
  NTSTATUS expected;
};

const AnyCase kAnyCases[] = {
    {"only the last", {false, false, true}, STATUS_WAIT_0 + 2},
    {"the first of two", {false, true, true}, STATUS_WAIT_0 + 1},
    {"all", {true, true, true}, STATUS_WAIT_0},
    {"none", {false, false, false}, STATUS_TIMEOUT},
    {"five objects, only the last", {false, false, false, false, true}, STATUS_WAIT_0 + 4},
    {"five objects, the fourth and fifth", {false, false, false, true, true}, STATUS_WAIT_0 + 3},
};

// WaitAny takes the first signalled object and consumes only that one.
TEST(WaitAny, ReturnsTheIndexOfTheFirstSignalledObjectAndConsumesOnlyIt) {
  for (const AnyCase& c : kAnyCases) {
    SCOPED_TRACE(c.name);
    sim::Run(0, [&] {
      std::vector<KEVENT> events(c.signalled.size());
      std::vector<PVOID> objects;
      for (size_t i = 0; i < events.size(); ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, c.signalled[i]);
        objects.push_back(&events[i]);
      }
      std::vector<KWAIT_BLOCK> blocks(events.size());
      LARGE_INTEGER zero{};
      NTSTATUS status =
          KeWaitForMultipleObjects(static_cast<ULONG>(objects.size()), objects.data(), WaitAny,
                                   Executive, KernelMode, FALSE, &zero, blocks.data());
      EXPECT_EQ(status, c.expected);
      for (size_t i = 0; i < events.size(); ++i) {
        bool consumed = status == static_cast<NTSTATUS>(STATUS_WAIT_0 + i);
        EXPECT_EQ(KeReadStateEvent(&events[i]), c.signalled[i] && !consumed ? 1 : 0)
            << "event " << i;
      }
    });
  }
}

TEST(WaitAny, ABlockedWaitReportsTheObjectThatWasSet) {
  ForEachSeed(Seeds::Range(0, 9), [](uint64_t seed) {
    sim::Run(seed, [] {
      KEVENT events[3];
      for (KEVENT& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
      NTSTATUS status = STATUS_PENDING;
      sim::StartThread("waiter", [&] {
        PVOID objects[] = {&events[0], &events[1], &events[2]};
        status = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE,
                                          nullptr, nullptr);
      });
      Settle();
      KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
      Settle();
      EXPECT_EQ(status, STATUS_WAIT_0 + 1);
      EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    });
  });
}

TEST(WaitAll, PollConsumesNothingUntilEveryObjectIsSignalled) {
  sim::Run(0, [] {
    KEVENT first, second, notification;
    KeInitializeEvent(&first, SynchronizationEvent, TRUE);
    KeInitializeEvent(&second, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    PVOID objects[] = {&first, &second, &notification};
    LARGE_INTEGER zero{};
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&first), 1);
    KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&first), 0);
    EXPECT_EQ(KeReadStateEvent(&second), 0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
  });
}

// A thread blocked in WaitAll leaves the first event set for others until the
// second arrives; a WaitAny waiter on the first event can take it meanwhile.
TEST(WaitAll, ABlockedWaitTakesTheObjectsTogether) {
  ForEachSeed(Seeds::Range(0, 9), [](uint64_t seed) {
    sim::Run(seed, [] {
      KEVENT first, second;
      KeInitializeEvent(&first, SynchronizationEvent, FALSE);
      KeInitializeEvent(&second, SynchronizationEvent, FALSE);
      NTSTATUS status = STATUS_PENDING;
      sim::StartThread("all", [&] {
        PVOID objects[] = {&first, &second};
        status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE,
                                          nullptr, nullptr);
      });
      Settle();
      KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
      Settle();
      EXPECT_EQ(status, STATUS_PENDING);
      EXPECT_EQ(KeReadStateEvent(&first), 1);
      EXPECT_EQ(Poll(&first), STATUS_WAIT_0) << "a partly satisfied WaitAll held the event";
      KeSetEvent(&first, IO_NO_INCREMENT, FALSE);
      KeSetEvent(&second, IO_NO_INCREMENT, FALSE);
      Settle();
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(KeReadStateEvent(&first), 0);
      EXPECT_EQ(KeReadStateEvent(&second), 0);
    });
  });
}

void WaitOnFourObjectsWithoutABlockArray() {
  sim::Run(0, [] {
    KEVENT events[4];
    PVOID objects[4];
    for (int i = 0; i < 4; ++i) {
      KeInitializeEvent(&events[i], NotificationEvent, TRUE);
      objects[i] = &events[i];
    }
    KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
  });
}

TEST(WaitAnyDeathTest, MoreThanThreeObjectsNeedAWaitBlockArray) {
  EXPECT_DEATH(WaitOnFourObjectsWithoutABlockArray(),
               "KeWaitForMultipleObjects: more than THREAD_WAIT_OBJECTS");
}

// ---- time-outs ----------------------------------------------------------------

struct TimeoutCase {
  const char* name;
  LONGLONG (*timeout)(LONGLONG start);  // the Timeout value, given the system time
  LONGLONG elapsed;                     // until the wait times out
};

const TimeoutCase kTimeoutCases[] = {
    {"relative, negative", [](LONGLONG) { return -2 * kSecond; }, 2 * kSecond},
    {"zero polls", [](LONGLONG) -> LONGLONG { return 0; }, 0},
    {"absolute, positive", [](LONGLONG start) { return start + 3 * kSecond; }, 3 * kSecond},
    {"absolute, already past", [](LONGLONG start) { return start - kSecond; }, 0},
};

// Every form of time-out, through both wait calls, on an object never
// signalled and on one already signalled.
TEST(Waits, TimeOutsAreRelativeWhenNegativeAbsoluteWhenPositiveAndPollWhenZero) {
  for (const TimeoutCase& c : kTimeoutCases) {
    for (bool multiple : {false, true}) {
      for (bool signalled : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (multiple ? ", multiple" : ", single") +
                     (signalled ? ", signalled" : ", never signalled"));
        sim::Run(0, [&] {
          KEVENT event;
          KeInitializeEvent(&event, NotificationEvent, signalled);
          LONGLONG start = Now();
          LARGE_INTEGER timeout;
          timeout.QuadPart = c.timeout(start);
          PVOID objects[] = {&event};
          NTSTATUS status =
              multiple ? KeWaitForMultipleObjects(1, objects, WaitAll, Executive, KernelMode, FALSE,
                                                  &timeout, nullptr)
                       : KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
          EXPECT_EQ(status, signalled ? STATUS_WAIT_0 : STATUS_TIMEOUT);
          EXPECT_EQ(Now() - start, signalled ? 0 : c.elapsed);
        });
      }
    }
  }
}

TEST(Waits, AnEventSetBeforeTheTimeOutEndsTheWaitThen) {
  ForEachSeed(Seeds::Range(0, 9), [](uint64_t seed) {
    KEVENT event;  // outlives main, should main's wait end early
    sim::Run(seed, [&] {
      KeInitializeEvent(&event, SynchronizationEvent, FALSE);
      sim::StartThread("setter", [&] {
        Sleep(kSecond);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      });
      LONGLONG start = Now();
      LARGE_INTEGER timeout;
      timeout.QuadPart = -5 * kSecond;
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                STATUS_WAIT_0);
      EXPECT_EQ(Now() - start, kSecond);
      EXPECT_EQ(KeReadStateEvent(&event), 0);
    });
  });
}

// ---- thread objects -------------------------------------------------------------

PVOID StartSleeper(LONGLONG* seconds) {
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID context) { Sleep(*static_cast<LONGLONG*>(context)); }, seconds),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  EXPECT_EQ(
      ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  return thread;
}

TEST(ThreadObjects, AWaitOnAThreadEndsWhenTheThreadEndsAndStaysSatisfied) {
  ForEachSeed(Seeds::Range(0, 9), [](uint64_t seed) {
    sim::Run(seed, [] {
      LONGLONG one = kSecond, two = 2 * kSecond;
      LONGLONG start = Now();
      PVOID first = StartSleeper(&one);
      PVOID second = StartSleeper(&two);
      EXPECT_EQ(Poll(first), STATUS_TIMEOUT);
      EXPECT_EQ(WaitForever(first), STATUS_WAIT_0);
      EXPECT_EQ(Now() - start, kSecond);
      PVOID both[] = {first, second};
      EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, nullptr,
                                         nullptr),
                STATUS_SUCCESS);
      EXPECT_EQ(Now() - start, 2 * kSecond);
      EXPECT_EQ(Poll(first), STATUS_WAIT_0);
      EXPECT_EQ(Poll(second), STATUS_WAIT_0);
      ObDereferenceObject(first);
      ObDereferenceObject(second);
    });
  });
}

}  // namespace
