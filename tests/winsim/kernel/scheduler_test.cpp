// The scheduler under the stand-in: one simulated thread at a time, seeded
// and replayable interleavings, virtual time, deadlock detection and the end
// of a run.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
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

LARGE_INTEGER Relative(LONGLONG units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

LONGLONG SystemTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

// Three application threads taking turns through kernel calls that are
// scheduling points; the trace is the order in which their steps ran.
std::vector<std::string> InterleavingUnder(uint64_t seed) {
  std::vector<std::string> trace;
  KEVENT event;  // outlives main, which ends before the threads it started
  sim::Run(seed, [&] {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (const char* name : {"a", "b", "c"}) {
      sim::StartThread(name, [&trace, &event, name] {
        LONG counter = 0;
        for (int step = 0; step < 8; ++step) {
          trace.push_back(std::string(name) + std::to_string(step));
          InterlockedIncrement(&counter);
          KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        }
      });
    }
  });
  return trace;
}

TEST(Scheduler, SameSeedReplaysTheSameInterleaving) {
  std::set<std::vector<std::string>> distinct;
  ForEachSeed(Seeds::Range(1, 12), [&](uint64_t seed) {
    std::vector<std::string> first = InterleavingUnder(seed);
    EXPECT_EQ(first.size(), 24u);
    EXPECT_EQ(InterleavingUnder(seed), first);
    distinct.insert(first);
  });
  EXPECT_GE(distinct.size(), 2u) << "every seed gave the same order: seeds are not used";
}

// Each thread marks itself active between scheduling points and gives the OS
// every chance to run another thread meanwhile; a second active thread means
// two simulated threads ran at once.
TEST(Scheduler, OnlyOneSimulatedThreadRunsAtATime) {
  std::atomic<int> active{0};
  std::atomic<int> mostActive{0};
  ForEachSeed(Seeds::List({0, 1, 2, 3, 4, 5}), [&](uint64_t seed) {
    uint64_t switches = 0;
    sim::Run(seed, [&] {
      for (const char* name : {"a", "b", "c", "d"}) {
        sim::StartThread(name, [&] {
          LONG counter = 0;
          for (int step = 0; step < 20; ++step) {
            int now = ++active;
            int seen = mostActive.load();
            while (now > seen && !mostActive.compare_exchange_weak(seen, now)) {
            }
            for (int spin = 0; spin < 3; ++spin) std::this_thread::yield();
            --active;
            InterlockedIncrement(&counter);
            if (step % 5 == 0) {
              LARGE_INTEGER tick = Relative(1);
              KeDelayExecutionThread(KernelMode, FALSE, &tick);
            }
          }
        });
      }
      LARGE_INTEGER later = Relative(kSecond);
      KeDelayExecutionThread(KernelMode, FALSE, &later);
      switches = host::Switches();
    });
    EXPECT_GT(switches, 20u) << "the threads hardly interleaved; the check proves little";
  });
  EXPECT_EQ(mostActive.load(), 1);
}

// Main makes 40 kernel calls that are scheduling points, then blocks; the
// worker it started first runs then.
struct BlockingOnlyRun {
  std::vector<char> order;
  uint64_t switches = 0;
};
BlockingOnlyRun RunMainThenWorker(uint64_t seed) {
  BlockingOnlyRun run;
  sim::Run(seed, [&] {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    sim::StartThread("worker", [&] {
      run.order.push_back('w');
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT scratch;
    KeInitializeEvent(&scratch, SynchronizationEvent, FALSE);
    LONG counter = 0;
    for (int i = 0; i < 10; ++i) {
      run.order.push_back('m');
      KIRQL irql;
      KeAcquireSpinLock(&lock, &irql);
      KeReleaseSpinLock(&lock, irql);
      InterlockedIncrement(&counter);
      KeSetEvent(&scratch, IO_NO_INCREMENT, FALSE);
      KeResetEvent(&scratch);
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    run.switches = host::Switches();
  });
  return run;
}

TEST(Scheduler, SeedZeroSwitchesOnlyWhenTheRunningThreadBlocks) {
  BlockingOnlyRun quiet = RunMainThenWorker(0);
  EXPECT_EQ(std::string(quiet.order.begin(), quiet.order.end()), std::string(10, 'm') + "w");
  // main -> worker when main blocks, worker -> main when the worker ends.
  EXPECT_EQ(quiet.switches, 2u);

  bool workerRanEarly = false;
  for (uint64_t seed = 1; seed <= 10 && !workerRanEarly; ++seed) {
    workerRanEarly = RunMainThenWorker(seed).order.back() != 'w';
  }
  EXPECT_TRUE(workerRanEarly) << "no non-zero seed switched at a non-blocking call";
}

// ---- virtual time -----------------------------------------------------------

struct TenSecondWait {
  const char* what;
  NTSTATUS (*wait)(PKEVENT never, PLARGE_INTEGER timeout);
  NTSTATUS expected;
};

const TenSecondWait kTenSecondWaits[] = {
    {"KeWaitForSingleObject",
     [](PKEVENT never, PLARGE_INTEGER timeout) {
       return KeWaitForSingleObject(never, Executive, KernelMode, FALSE, timeout);
     },
     STATUS_TIMEOUT},
    {"KeWaitForMultipleObjects",
     [](PKEVENT never, PLARGE_INTEGER timeout) {
       PVOID objects[] = {never};
       return KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, timeout,
                                       nullptr);
     },
     STATUS_TIMEOUT},
    {"KeDelayExecutionThread",
     [](PKEVENT, PLARGE_INTEGER timeout) {
       return KeDelayExecutionThread(KernelMode, FALSE, timeout);
     },
     STATUS_SUCCESS},
};

// The clock jumps when every thread waits: exactly ten seconds pass and no
// thread ever has to hand the baton to another.
TEST(VirtualTime, TenSecondWaitEndsAtExactlyTenSecondsWithoutSwitching) {
  for (const TenSecondWait& c : kTenSecondWaits) {
    SCOPED_TRACE(c.what);
    sim::Run(0, [&] {
      KEVENT never;
      KeInitializeEvent(&never, SynchronizationEvent, FALSE);
      LONGLONG start = SystemTime();
      LARGE_INTEGER ticksBefore;
      KeQueryTickCount(&ticksBefore);
      LARGE_INTEGER timeout = Relative(10 * kSecond);
      EXPECT_EQ(c.wait(&never, &timeout), c.expected);
      EXPECT_EQ(SystemTime() - start, 10 * kSecond);
      LARGE_INTEGER ticksAfter;
      KeQueryTickCount(&ticksAfter);
      EXPECT_EQ((ticksAfter.QuadPart - ticksBefore.QuadPart) * KeQueryTimeIncrement(),
                10 * kSecond);
      EXPECT_EQ(host::Switches(), 0u);
    });
  }
}

// Sleepers wake in the order of their deadlines, each at its own deadline,
// not all at the latest one.
TEST(VirtualTime, ClockMovesToTheEarliestDeadlineFirst) {
  ForEachSeed(Seeds::Range(0, 5), [](uint64_t seed) {
    std::vector<std::pair<std::string, LONGLONG>> woke;
    sim::Run(seed, [&] {
      LONGLONG start = SystemTime();
      for (auto [name, seconds] : {std::pair{"three", 3}, {"one", 1}, {"two", 2}}) {
        sim::StartThread(name, [&woke, start, name, seconds] {
          LARGE_INTEGER interval = Relative(seconds * kSecond);
          KeDelayExecutionThread(KernelMode, FALSE, &interval);
          woke.emplace_back(name, SystemTime() - start);
        });
      }
    });
    std::vector<std::pair<std::string, LONGLONG>> expected = {
        {"one", kSecond}, {"two", 2 * kSecond}, {"three", 3 * kSecond}};
    EXPECT_EQ(woke, expected);
  });
}

// ---- deadlocks and the end of a run --------------------------------------------

void TwoThreadsWaitingForEachOther() {
  sim::Run(1, [] {
    KEVENT mainMayGo, peerMayGo;
    KeInitializeEvent(&mainMayGo, NotificationEvent, FALSE);
    KeInitializeEvent(&peerMayGo, SynchronizationEvent, FALSE);
    sim::StartThread("peer", [&] {
      KeWaitForSingleObject(&peerMayGo, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&mainMayGo, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&mainMayGo, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&peerMayGo, IO_NO_INCREMENT, FALSE);
  });
}

void WaitingForAServiceThreadThatWaitsForever() {
  sim::Run(0, [] {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(
        PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
            nullptr),
        STATUS_SUCCESS);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  });
}

TEST(SchedulerDeathTest, DeadlockNamesEveryThreadAndWhatItWaitsFor) {
  EXPECT_DEATH(TwoThreadsWaitingForEachOther(),
               "deadlock.*"
               "thread 'main' \\(foreground\\) waits for KeWaitForSingleObject on notification "
               "event.*"
               "thread 'peer' \\(foreground\\) waits for KeWaitForSingleObject on synchronization "
               "event.*"
               "seed: 1");
  EXPECT_DEATH(WaitingForAServiceThreadThatWaitsForever(),
               "deadlock.*"
               "thread 'main' \\(foreground\\) waits for KeWaitForSingleObject on thread 'kernel "
               "system thread'.*"
               "thread 'kernel system thread' \\(service\\) waits for KeWaitForSingleObject on "
               "notification event");
}

// System threads still waiting when the scenario ends are idle, not
// deadlocked: the run ends and the code after their waits never runs. One of
// them waits on the other's thread object, so unwinding the first must not
// leave the second's wait pointing at a dead frame.
TEST(Scheduler, ServiceThreadsStillWaitingWhenTheScenarioEndsAreIdle) {
  struct Shared {
    KEVENT never;
    PVOID firstThread = nullptr;
    LONG wokeUp = 0;
  };
  ForEachSeed(Seeds::Range(0, 7), [](uint64_t seed) {
    Shared shared;
    sim::Run(seed, [&] {
      KeInitializeEvent(&shared.never, NotificationEvent, FALSE);
      HANDLE handle;
      // The waiter on the thread object is created first, so it is unwound first.
      ASSERT_EQ(PsCreateSystemThread(
                    &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                    [](PVOID context) {
                      auto* s = static_cast<Shared*>(context);
                      while (s->firstThread == nullptr) {
                        LARGE_INTEGER tick = Relative(1);
                        KeDelayExecutionThread(KernelMode, FALSE, &tick);
                      }
                      KeWaitForSingleObject(s->firstThread, Executive, KernelMode, FALSE, nullptr);
                      s->wokeUp++;
                    },
                    &shared),
                STATUS_SUCCESS);
      ZwClose(handle);
      ASSERT_EQ(PsCreateSystemThread(
                    &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                    [](PVOID context) {
                      auto* s = static_cast<Shared*>(context);
                      KeWaitForSingleObject(&s->never, Executive, KernelMode, FALSE, nullptr);
                      s->wokeUp++;
                    },
                    &shared),
                STATUS_SUCCESS);
      ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &shared.firstThread,
                                nullptr);
      ZwClose(handle);
      LARGE_INTEGER settle = Relative(kSecond);
      KeDelayExecutionThread(KernelMode, FALSE, &settle);
    });
    EXPECT_EQ(shared.wokeUp, 0);
  });
}

// The run lasts as long as any foreground thread: an application thread still
// in a timed wait when main ends finishes its wait first.
TEST(Scheduler, RunEndsWhenTheLastForegroundThreadEnds) {
  NTSTATUS status = STATUS_PENDING;
  LONGLONG waited = 0;
  sim::Run(3, [&] {
    sim::StartThread("app", [&] {
      KEVENT never;
      KeInitializeEvent(&never, NotificationEvent, FALSE);
      LONGLONG start = SystemTime();
      LARGE_INTEGER timeout = Relative(5 * kSecond);
      status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
      waited = SystemTime() - start;
    });
  });
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(waited, 5 * kSecond);
}

}  // namespace
