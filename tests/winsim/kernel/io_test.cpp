// The I/O manager as drivers see it: completion through stacked drivers,
// pending requests, requests built for a thread, driver-allocated requests,
// device objects and their names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/winsim/kernel/test_drivers.h"

namespace {

using testing::ElementsAre;
using testing::Pair;
using winsim::kernel::AsDriver;
using winsim::kernel::CountsOf;
using winsim::kernel::LiveIrps;
using winsim::kernel::UnloadDriver;
using namespace winsim::testing;
namespace wk = winsim::kernel;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kDirectIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// Scenarios whose outcome must not depend on the interleaving run under
// seed 0 (switch only when blocked) and this many random orders.
constexpr uint64_t kSeeds = 24;

enum class Finish { kInline, kLater };
const char* Name(Finish f) { return f == Finish::kInline ? "completed inline" : "completed later"; }

testing::AssertionResult HoldsNothing(PDRIVER_OBJECT driver) {
  wk::DriverCounts c = CountsOf(driver);
  if (c.irps == 0 && c.mdls == 0 && c.poolBlocks == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "driver still holds " << c.irps << " request(s), " << c.mdls
                                     << " MDL(s), " << c.poolBlocks << " pool block(s)";
}

// What a completion routine that lets completion go on must do.
NTSTATUS ContinueCompletion(PIRP irp) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

// The device at the bottom of a stack: `work` fills in each request's
// status, then the request is completed at once, or marked pending and
// completed later by the driver's own system thread.
class Worker {
 public:
  using Work = std::function<void(PIRP)>;

  Worker(DeviceStack::Level& level, Finish finish, Work work, int requests = 1)
      : finish_(finish), work_(std::move(work)), requests_(requests) {
    KeInitializeEvent(&arrived_, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&lock_);
    level.script.dispatch = [this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); };
    if (finish == Finish::kLater) thread_ = StartSystemThread(level.driver, body_);
  }

  // Waits for the worker thread to end, after its last request.
  void Stop() {
    if (thread_) JoinSystemThread(thread_);
    thread_ = nullptr;
  }

 private:
  NTSTATUS Dispatch(PIRP irp) {
    if (finish_ == Finish::kInline) {
      work_(irp);
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    parked_ = irp;
    KeSetEvent(&arrived_, IO_NO_INCREMENT, FALSE);
    // The worker may take the request and complete it before this returns.
    KeReleaseSpinLock(&lock_, irql);
    return STATUS_PENDING;
  }

  Finish finish_;
  Work work_;
  int requests_;
  KEVENT arrived_;
  KSPIN_LOCK lock_;
  PIRP parked_ = nullptr;
  PKTHREAD thread_ = nullptr;
  std::function<void()> body_ = [this] {
    for (int i = 0; i < requests_; ++i) {
      KeWaitForSingleObject(&arrived_, Executive, KernelMode, FALSE, nullptr);
      KIRQL irql;
      KeAcquireSpinLock(&lock_, &irql);
      PIRP irp = parked_;
      parked_ = nullptr;
      KeReleaseSpinLock(&lock_, irql);
      work_(irp);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  };
};

// A request a client driver allocates for the device stack below `target`,
// with no stack location of its own.
PIRP AllocateIoctl(PDEVICE_OBJECT target) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
  return irp;
}

NTSTATUS Wait(KEVENT* event) {
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

// The end of a scenario with a client driver over a worked stack: the client
// holds nothing, and everything unloads (the verifier checks for leaks).
void EndScenario(PDRIVER_OBJECT client, Worker& worker, DeviceStack& stack) {
  EXPECT_TRUE(HoldsNothing(client));
  worker.Stop();
  stack.Unload();
  UnloadDriver(client);
}

// ---- completion ------------------------------------------------------------

TEST(Completion, RoutinesRunLowestFirstEachWithTheDeviceOfItsOwnLevel) {
  // Levels: 0 lower, 1 middle, 2 upper; -1 for the client, which allocated
  // the request and has no stack location of its own.
  struct Case {
    const char* name;
    bool middleSkips;
    std::vector<std::pair<std::string, int>> calls;
  } cases[] = {
      {"every filter sets a routine", false, {{"middle", 1}, {"upper", 2}, {"client", -1}}},
      {"the middle filter skips", true, {{"upper", 2}, {"client", -1}}},
  };
  for (const Case& c : cases) {
    RunCase(c.name, 0, [&] {
      DeviceStack stack({L"lower", L"middle", L"upper"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      std::vector<std::pair<std::string, int>> calls;
      auto levelOf = [&](PDEVICE_OBJECT device) {
        for (size_t i = 0; i < stack.Size(); ++i) {
          if (stack[i].device == device) return int(i);
        }
        return device == nullptr ? -1 : -2;
      };
      stack[0].script.dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, STATUS_SUCCESS, 1);
      };
      auto recorder = [&](std::string who) -> Routine {
        return [&, who](PDEVICE_OBJECT device, PIRP irp) {
          calls.emplace_back(who, levelOf(device));
          return ContinueCompletion(irp);
        };
      };
      Routine middleRoutine = recorder("middle"), upperRoutine = recorder("upper");
      auto forwardWith = [](Routine* routine) -> Dispatch {
        return [routine](PDEVICE_OBJECT device, PIRP irp) {
          if (routine) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(irp, routine);
          } else {
            IoSkipCurrentIrpStackLocation(irp);
          }
          return IoCallDriver(ScriptOf(device)->lower, irp);
        };
      };
      stack[1].script.dispatch = forwardWith(c.middleSkips ? nullptr : &middleRoutine);
      stack[2].script.dispatch = forwardWith(&upperRoutine);
      Routine clientRoutine = [&](PDEVICE_OBJECT device, PIRP irp) {
        calls.emplace_back("client", levelOf(device));
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
      };

      AsDriver(client, [&] {
        PIRP irp = AllocateIoctl(stack.Top().device);
        SetCompletion(irp, &clientRoutine);
        EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_SUCCESS);
      });

      EXPECT_EQ(calls, c.calls);
      EXPECT_EQ(LiveIrps(), 0);
      stack.Unload();
      UnloadDriver(client);
    });
  }
}

struct InvokeCase {
  const char* name;
  NTSTATUS status;
  bool onSuccess, onError, onCancel;
  bool cancelled;  // IoCancelIrp was called on the request
  bool invoked;
};

const InvokeCase kInvokeCases[] = {
    {"success, invoke on success", STATUS_SUCCESS, true, false, false, false, true},
    {"success, invoke on error and cancel", STATUS_SUCCESS, false, true, true, false, false},
    {"informational status is a success", STATUS_OBJECT_NAME_EXISTS, true, false, false, false,
     true},
    {"error, invoke on error", STATUS_UNSUCCESSFUL, false, true, false, false, true},
    {"error, invoke on success and cancel", STATUS_UNSUCCESSFUL, true, false, true, false, false},
    {"warning status is not a success", STATUS_BUFFER_OVERFLOW, true, false, false, false, false},
    {"warning status is an error", STATUS_BUFFER_OVERFLOW, false, true, false, false, true},
    {"cancelled, completed with success, invoke on cancel", STATUS_SUCCESS, false, false, true,
     true, true},
    {"cancelled, completed cancelled, invoke on cancel", STATUS_CANCELLED, false, false, true, true,
     true},
    {"STATUS_CANCELLED without IoCancelIrp, invoke on cancel", STATUS_CANCELLED, false, false, true,
     false, false},
    {"cancelled, completed with success, invoke on error", STATUS_SUCCESS, false, true, false, true,
     false},
    {"cancelled, no flags", STATUS_CANCELLED, false, false, false, true, false},
};

TEST(Completion, InvokeFlagsChooseWhetherTheRoutineRuns) {
  for (const InvokeCase& c : kInvokeCases) {
    RunCase(c.name, 0, [&] {
      DeviceStack stack({L"lower", L"upper"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      stack[0].script.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        return Complete(irp, c.status, 9);
      };
      int upperRan = 0;
      Routine upperRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        ++upperRan;
        return ContinueCompletion(irp);
      };
      stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, &upperRoutine, c.onSuccess, c.onError, c.onCancel);
        return IoCallDriver(ScriptOf(device)->lower, irp);
      };
      std::vector<NTSTATUS> clientSaw;
      Routine clientRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
        clientSaw.push_back(irp->IoStatus.Status);
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
      };

      AsDriver(client, [&] {
        PIRP irp = AllocateIoctl(stack.Top().device);
        SetCompletion(irp, &clientRoutine);
        // No driver holds it yet, so there is no cancel routine to call.
        if (c.cancelled) {
          EXPECT_FALSE(IoCancelIrp(irp));
        }
        EXPECT_EQ(IoCallDriver(stack.Top().device, irp), c.status);
      });

      EXPECT_EQ(upperRan, c.invoked ? 1 : 0);
      // Whether or not a routine runs, completion goes on above it.
      EXPECT_THAT(clientSaw, ElementsAre(c.status));
      EXPECT_EQ(LiveIrps(), 0);
      stack.Unload();
      UnloadDriver(client);
    });
  }
}

// The forward-and-wait pattern: the upper driver's routine takes the request
// back with STATUS_MORE_PROCESSING_REQUIRED, the dispatch routine waits,
// works on the result and completes again; completion resumes above it.
TEST(Completion, MoreProcessingRequiredHoldsCompletionUntilTheDriverCompletesAgain) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    for (uint64_t seed = 0; seed < kSeeds; ++seed) {
      RunCase(Name(finish), seed, [&] {
        DeviceStack stack({L"lower", L"upper"});
        PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
        std::vector<std::string> steps;
        Worker worker(stack[0], finish, [](PIRP irp) {
          irp->IoStatus.Status = STATUS_SUCCESS;
          irp->IoStatus.Information = 5;
        });
        NTSTATUS upperReturned = STATUS_PENDING;
        stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
          KEVENT lowerDone;
          KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
          Routine takeBack = [&](PDEVICE_OBJECT, PIRP) {
            steps.push_back("upper routine");
            KeSetEvent(&lowerDone, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
          };
          IoCopyCurrentIrpStackLocationToNext(irp);
          SetCompletion(irp, &takeBack);
          if (IoCallDriver(ScriptOf(device)->lower, irp) == STATUS_PENDING) Wait(&lowerDone);
          steps.push_back("upper completes");
          irp->IoStatus.Information += 100;
          upperReturned = irp->IoStatus.Status;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return upperReturned;
        };
        ULONG_PTR clientInformation = 0;
        BOOLEAN clientPending = TRUE;
        Routine clientRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
          steps.push_back("client routine");
          clientInformation = irp->IoStatus.Information;
          clientPending = irp->PendingReturned;
          IoFreeIrp(irp);
          return STATUS_MORE_PROCESSING_REQUIRED;
        };

        AsDriver(client, [&] {
          PIRP irp = AllocateIoctl(stack.Top().device);
          SetCompletion(irp, &clientRoutine);
          EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_SUCCESS);
        });

        EXPECT_THAT(steps, ElementsAre("upper routine", "upper completes", "client routine"));
        EXPECT_EQ(upperReturned, STATUS_SUCCESS);
        EXPECT_EQ(clientInformation, 105u);
        // The upper driver finished the request in its dispatch routine.
        EXPECT_FALSE(clientPending);
        EXPECT_EQ(LiveIrps(), 0);
        worker.Stop();
        stack.Unload();
        UnloadDriver(client);
      });
    }
  }
}

// The retry pattern: a routine sends the request down again and takes it
// back with STATUS_MORE_PROCESSING_REQUIRED; completion goes on above it
// only when a routine lets it.
TEST(Completion, RoutineMaySendTheRequestAgainAndHoldCompletionMeanwhile) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    for (uint64_t seed = 0; seed < kSeeds; ++seed) {
      RunCase(Name(finish), seed, [&] {
        DeviceStack stack({L"lower", L"upper"});
        PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
        int attempts = 0;
        Worker worker(
            stack[0], finish,
            [&](PIRP irp) {
              ++attempts;
              irp->IoStatus.Status = attempts == 1 ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
              irp->IoStatus.Information = attempts;
            },
            2);
        Routine retry;
        retry = [&](PDEVICE_OBJECT device, PIRP irp) {
          if (!NT_SUCCESS(irp->IoStatus.Status) && attempts < 2) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(irp, &retry);
            IoCallDriver(ScriptOf(device)->lower, irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
          }
          return ContinueCompletion(irp);
        };
        stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
          IoMarkIrpPending(irp);
          IoCopyCurrentIrpStackLocationToNext(irp);
          SetCompletion(irp, &retry);
          IoCallDriver(ScriptOf(device)->lower, irp);
          return STATUS_PENDING;
        };
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};

        AsDriver(client, [&] {
          PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, stack.Top().device, nullptr, 0, nullptr,
                                                   0, FALSE, &done, &iosb);
          EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_PENDING);
          Wait(&done);
        });

        EXPECT_EQ(attempts, 2);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 2u);
        EXPECT_EQ(LiveIrps(), 0);
        EndScenario(client, worker, stack);
      });
    }
  }
}

enum class Forward { kSkip, kCopy, kCopyWithRoutine };

TEST(Completion, PendingReturnedReachesTheTopThroughEveryWayOfForwarding) {
  const std::pair<Forward, const char*> kForwards[] = {
      {Forward::kSkip, "skip"},
      {Forward::kCopy, "copy, no routine"},
      {Forward::kCopyWithRoutine, "copy, routine propagates"}};
  for (auto [forward, forwardName] : kForwards) {
    for (Finish finish : {Finish::kInline, Finish::kLater}) {
      for (uint64_t seed = 0; seed < kSeeds; ++seed) {
        const bool pends = finish == Finish::kLater;
        RunCase(std::string(forwardName) + ", " + Name(finish), seed, [&] {
          DeviceStack stack({L"lower", L"upper"});
          PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
          Worker worker(stack[0], finish, [](PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 3;
          });
          std::vector<BOOLEAN> upperSaw;
          Routine propagate = [&](PDEVICE_OBJECT, PIRP irp) {
            upperSaw.push_back(irp->PendingReturned);
            return ContinueCompletion(irp);
          };
          stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
            if (forward == Forward::kSkip) {
              IoSkipCurrentIrpStackLocation(irp);
            } else {
              IoCopyCurrentIrpStackLocationToNext(irp);
              if (forward == Forward::kCopyWithRoutine) SetCompletion(irp, &propagate);
            }
            return IoCallDriver(ScriptOf(device)->lower, irp);
          };
          KEVENT clientDone;
          KeInitializeEvent(&clientDone, NotificationEvent, FALSE);
          std::vector<BOOLEAN> clientSaw;
          Routine clientRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
            clientSaw.push_back(irp->PendingReturned);
            IoFreeIrp(irp);
            KeSetEvent(&clientDone, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
          };

          NTSTATUS returned = STATUS_UNSUCCESSFUL;
          AsDriver(client, [&] {
            PIRP irp = AllocateIoctl(stack.Top().device);
            SetCompletion(irp, &clientRoutine);
            returned = IoCallDriver(stack.Top().device, irp);
          });
          if (returned == STATUS_PENDING) Wait(&clientDone);

          EXPECT_EQ(returned, pends ? STATUS_PENDING : STATUS_SUCCESS);
          EXPECT_THAT(clientSaw, ElementsAre(pends));
          if (forward == Forward::kCopyWithRoutine) {
            EXPECT_THAT(upperSaw, ElementsAre(pends));
          }
          EXPECT_EQ(LiveIrps(), 0);
          worker.Stop();
          stack.Unload();
          UnloadDriver(client);
        });
      }
    }
  }
}

// ---- requests built for a thread ----------------------------------------------

struct CopyBackCase {
  const char* name;
  NTSTATUS status;
  ULONG_PTR information;
  size_t copied;  // bytes that reach the caller's output buffer
};

const CopyBackCase kCopyBackCases[] = {
    {"success copies Information bytes", STATUS_SUCCESS, 6, 6},
    {"Information past the output buffer stops at its end", STATUS_SUCCESS, 64, 16},
    {"a warning status still copies", STATUS_BUFFER_OVERFLOW, 16, 16},
    {"an error status copies nothing", STATUS_UNSUCCESSFUL, 6, 0},
    {"success with no information copies nothing", STATUS_SUCCESS, 0, 0},
};

TEST(ThreadedRequest, BufferedIoctlCopiesBackOnlyTheInformationBytes) {
  for (const CopyBackCase& c : kCopyBackCases) {
    for (Finish finish : {Finish::kInline, Finish::kLater}) {
      RunCase(std::string(c.name) + ", " + Name(finish), 0, [&] {
        DeviceStack stack({L"disk"});
        PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
        const UCHAR input[4] = {'p', 'i', 'n', 'g'};
        // Room past the 16 bytes offered, so a copy that overruns shows.
        UCHAR output[96];
        std::memset(output, 0xEE, sizeof output);
        Worker worker(stack[0], finish, [&](PIRP irp) {
          PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
          EXPECT_EQ(s->MajorFunction, IRP_MJ_DEVICE_CONTROL);
          EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, kIoctl);
          EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
          EXPECT_EQ(s->Parameters.DeviceIoControl.OutputBufferLength, 16u);
          auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
          // The driver sees a copy of the input, not the caller's memory.
          EXPECT_NE(system, input);
          EXPECT_NE(system, output);
          EXPECT_EQ(std::memcmp(system, input, sizeof input), 0);
          std::memset(system, 'R', 16);
          irp->IoStatus.Status = c.status;
          irp->IoStatus.Information = c.information;
        });
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{{0x7777}, 0x7777};
        const LONG irpsBefore = LiveIrps();

        AsDriver(client, [&] {
          PIRP irp =
              IoBuildDeviceIoControlRequest(kIoctl, stack[0].device, const_cast<UCHAR*>(input),
                                            sizeof input, output, 16, FALSE, &done, &iosb);
          ASSERT_NE(irp, nullptr);
          NTSTATUS returned = IoCallDriver(stack[0].device, irp);
          EXPECT_EQ(returned, finish == Finish::kLater ? STATUS_PENDING : c.status);
          if (returned == STATUS_PENDING) Wait(&done);
        });

        EXPECT_EQ(KeReadStateEvent(&done), 1);
        EXPECT_EQ(iosb.Status, c.status);
        EXPECT_EQ(iosb.Information, c.information);
        for (size_t i = 0; i < sizeof output; ++i) {
          ASSERT_EQ(output[i], i < c.copied ? 'R' : 0xEE) << "output byte " << i;
        }
        EXPECT_EQ(LiveIrps(), irpsBefore);
        EndScenario(client, worker, stack);
      });
    }
  }
}

TEST(ThreadedRequest, OutDirectIoctlWritesThroughAnMdlOfTheCallersBuffer) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    RunCase(Name(finish), 0, [&] {
      DeviceStack stack({L"disk"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      const UCHAR input[3] = {1, 2, 3};
      UCHAR output[40];
      std::memset(output, 0xEE, sizeof output);
      Worker worker(stack[0], finish, [&](PIRP irp) {
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, input, sizeof input), 0);
        PMDL mdl = irp->MdlAddress;
        ASSERT_NE(mdl, nullptr);
        EXPECT_EQ(MmGetMdlVirtualAddress(mdl), output);
        EXPECT_EQ(MmGetMdlByteCount(mdl), 24u);
        EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
        // The builder owns the MDL while the request lives.
        EXPECT_EQ(CountsOf(client).mdls, 1);
        auto* data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        ASSERT_NE(data, nullptr);
        std::memset(data, 'D', 10);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 10;
      });
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      const LONG irpsBefore = LiveIrps();

      AsDriver(client, [&] {
        PIRP irp =
            IoBuildDeviceIoControlRequest(kDirectIoctl, stack[0].device, const_cast<UCHAR*>(input),
                                          sizeof input, output, 24, FALSE, &done, &iosb);
        if (IoCallDriver(stack[0].device, irp) == STATUS_PENDING) Wait(&done);
      });

      EXPECT_EQ(KeReadStateEvent(&done), 1);
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, 10u);
      for (size_t i = 0; i < sizeof output; ++i) {
        ASSERT_EQ(output[i], i < 10 ? 'D' : 0xEE) << "output byte " << i;
      }
      EXPECT_EQ(LiveIrps(), irpsBefore);
      EndScenario(client, worker, stack);
    });
  }
}

// The builder of a threaded request may set a routine of its own; taking the
// request back with STATUS_MORE_PROCESSING_REQUIRED holds the I/O manager off
// until the builder completes it again.
TEST(ThreadedRequest, BuildersRoutineHoldsItUntilCompletedAgain) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    RunCase(Name(finish), 0, [&] {
      DeviceStack stack({L"disk"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      Worker worker(stack[0], finish, [](PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 4;
      });
      KEVENT done, held;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      KeInitializeEvent(&held, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{{0x7777}, 0x7777};
      Routine hold = [&](PDEVICE_OBJECT device, PIRP) {
        EXPECT_EQ(device, nullptr);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      };
      const LONG irpsBefore = LiveIrps();

      AsDriver(client, [&] {
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, stack[0].device, nullptr, 0, nullptr, 0,
                                                 FALSE, &done, &iosb);
        SetCompletion(irp, &hold);
        if (IoCallDriver(stack[0].device, irp) == STATUS_PENDING) Wait(&held);
        EXPECT_EQ(KeReadStateEvent(&done), 0);
        EXPECT_EQ(iosb.Status, 0x7777);
        EXPECT_EQ(LiveIrps(), irpsBefore + 1);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      });

      EXPECT_EQ(KeReadStateEvent(&done), 1);
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, 4u);
      EXPECT_EQ(LiveIrps(), irpsBefore);
      EndScenario(client, worker, stack);
    });
  }
}

struct FsdCase {
  const char* name;
  UCHAR major;
  ULONG bufferMethod;
  size_t landed;  // reads: bytes of the device's data that reach the caller
};

TEST(ThreadedRequest, SynchronousFsdReadAndWriteFollowTheDevicesBufferingMethod) {
  constexpr ULONG kLength = 40;
  constexpr ULONG kDone = kLength - 3;  // the device reports a short transfer
  const FsdCase kCases[] = {
      // Buffered reads copy back the reported bytes only; a direct read has
      // already written into the caller's pages, whatever it reports.
      {"read, buffered", IRP_MJ_READ, DO_BUFFERED_IO, kDone},
      {"read, direct", IRP_MJ_READ, DO_DIRECT_IO, kLength},
      {"write, buffered", IRP_MJ_WRITE, DO_BUFFERED_IO, 0},
      {"write, direct", IRP_MJ_WRITE, DO_DIRECT_IO, 0},
  };
  for (const FsdCase& c : kCases) {
    for (Finish finish : {Finish::kInline, Finish::kLater}) {
      RunCase(std::string(c.name) + ", " + Name(finish), 0, [&] {
        DeviceStack stack({L"disk"}, c.bufferMethod);
        PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
        UCHAR buffer[kLength + 8];
        for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = UCHAR(i);
        std::vector<UCHAR> written;
        Worker worker(stack[0], finish, [&](PIRP irp) {
          PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
          EXPECT_EQ(s->MajorFunction, c.major);
          EXPECT_EQ(s->Parameters.Read.Length, kLength);
          EXPECT_EQ(s->Parameters.Read.ByteOffset.QuadPart, 0x1234);
          UCHAR* data;
          if (c.bufferMethod == DO_BUFFERED_IO) {
            data = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_NE(data, buffer);
          } else {
            ASSERT_NE(irp->MdlAddress, nullptr);
            data = static_cast<UCHAR*>(
                MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            EXPECT_EQ(data, buffer);
          }
          ASSERT_NE(data, nullptr);
          if (c.major == IRP_MJ_READ) {
            std::memset(data, 'd', kLength);
          } else {
            written.assign(data, data + kLength);
          }
          irp->IoStatus.Status = STATUS_SUCCESS;
          irp->IoStatus.Information = c.major == IRP_MJ_READ ? kDone : kLength;
        });
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER offset;
        offset.QuadPart = 0x1234;
        const LONG irpsBefore = LiveIrps();

        AsDriver(client, [&] {
          PIRP irp = IoBuildSynchronousFsdRequest(c.major, stack[0].device, buffer, kLength,
                                                  &offset, &done, &iosb);
          if (IoCallDriver(stack[0].device, irp) == STATUS_PENDING) Wait(&done);
        });

        EXPECT_EQ(KeReadStateEvent(&done), 1);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        if (c.major == IRP_MJ_READ) {
          EXPECT_EQ(iosb.Information, kDone);
          for (size_t i = 0; i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], i < c.landed ? 'd' : UCHAR(i)) << "buffer byte " << i;
          }
        } else {
          EXPECT_EQ(iosb.Information, kLength);
          EXPECT_EQ(written, std::vector<UCHAR>(buffer, buffer + kLength));
        }
        EXPECT_EQ(LiveIrps(), irpsBefore);
        EndScenario(client, worker, stack);
      });
    }
  }
}

// ---- requests a driver allocates ------------------------------------------------

TEST(DriverAllocatedRequest, ReusedForEachSendAndFreedAtTheEnd) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    RunCase(Name(finish), 0, [&] {
      DeviceStack stack({L"lower"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      std::vector<ULONG> codes;
      std::vector<BOOLEAN> cancelFlags;
      Worker worker(
          stack[0], finish,
          [&](PIRP irp) {
            codes.push_back(
                IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
            cancelFlags.push_back(irp->Cancel);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = codes.size();
          },
          3);
      KEVENT back;
      KeInitializeEvent(&back, SynchronizationEvent, FALSE);
      std::vector<ULONG_PTR> results;
      Routine takeBack = [&](PDEVICE_OBJECT device, PIRP irp) {
        EXPECT_EQ(device, nullptr);
        results.push_back(irp->IoStatus.Information);
        KeSetEvent(&back, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      };

      AsDriver(client, [&] {
        PIRP irp = IoAllocateIrp(stack[0].device->StackSize, FALSE);
        EXPECT_EQ(CountsOf(client).irps, 1);
        for (ULONG i = 0; i < 3; ++i) {
          if (i > 0) {
            IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
            EXPECT_FALSE(irp->Cancel);
          }
          PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
          next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
          next->Parameters.DeviceIoControl.IoControlCode = kIoctl + (i << 2);
          SetCompletion(irp, &takeBack);
          // The first send goes out already cancelled; reuse clears that.
          if (i == 0) IoCancelIrp(irp);
          IoCallDriver(stack[0].device, irp);
          Wait(&back);
        }
        IoFreeIrp(irp);
      });

      EXPECT_THAT(codes, ElementsAre(kIoctl, kIoctl + 4, kIoctl + 8));
      EXPECT_THAT(cancelFlags, ElementsAre(TRUE, FALSE, FALSE));
      EXPECT_THAT(results, ElementsAre(1u, 2u, 3u));
      EXPECT_EQ(LiveIrps(), 0);
      EndScenario(client, worker, stack);
    });
  }
}

// A driver that wants a stack location of its own allocates one more than
// the stack below needs and steps into it before sending the request down;
// its routine then gets its own device and may mark the request pending.
TEST(DriverAllocatedRequest, WithALocationOfItsOwnItsRoutineGetsItsDevice) {
  for (Finish finish : {Finish::kInline, Finish::kLater}) {
    RunCase(Name(finish), 0, [&] {
      DeviceStack stack({L"lower"});
      PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
      Script clientScript;
      PDEVICE_OBJECT clientDevice = CreateScriptedDevice(client, &clientScript);
      Worker worker(stack[0], finish, [](PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
      });
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      std::vector<std::pair<PDEVICE_OBJECT, BOOLEAN>> seen;
      Routine routine = [&](PDEVICE_OBJECT device, PIRP irp) {
        seen.emplace_back(device, irp->PendingReturned);
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        IoFreeIrp(irp);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      };

      AsDriver(client, [&] {
        PIRP irp = IoAllocateIrp(stack[0].device->StackSize + 1, FALSE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = clientDevice;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
        SetCompletion(irp, &routine);
        if (IoCallDriver(stack[0].device, irp) == STATUS_PENDING) Wait(&done);
      });

      EXPECT_THAT(seen, ElementsAre(Pair(clientDevice, finish == Finish::kLater)));
      EXPECT_EQ(LiveIrps(), 0);
      worker.Stop();
      AsDriver(client, [&] { IoDeleteDevice(clientDevice); });
      stack.Unload();
      UnloadDriver(client);
    });
  }
}

// ---- device objects --------------------------------------------------------------

TEST(DeviceObjects, AttachingStacksOneLocationPerDeviceOnTheTop) {
  wk::Run(0, [] {
    Script lowerScript, middleScript, upperScript;
    PDRIVER_OBJECT driver = LoadScriptedDriver(L"stack");
    PDEVICE_OBJECT lower = CreateScriptedDevice(driver, &lowerScript);
    PDEVICE_OBJECT middle = CreateScriptedDevice(driver, &middleScript);
    PDEVICE_OBJECT upper = CreateScriptedDevice(driver, &upperScript);
    EXPECT_EQ(lower->StackSize, 1);

    EXPECT_EQ(AttachScripted(middle, lower), lower);
    EXPECT_EQ(middle->StackSize, 2);
    // Attaching to the bottom lands on whatever is on top.
    EXPECT_EQ(AttachScripted(upper, lower), middle);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(lower->AttachedDevice, middle);
    EXPECT_EQ(middle->AttachedDevice, upper);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower);
    EXPECT_EQ(top, upper);
    ObDereferenceObject(top);

    // A request sized for the top gets one stack location per level.
    std::vector<CHAR> locations;
    upperScript.dispatch = middleScript.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
      locations.push_back(irp->CurrentLocation);
      IoCopyCurrentIrpStackLocationToNext(irp);
      return IoCallDriver(ScriptOf(device)->lower, irp);
    };
    lowerScript.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      locations.push_back(irp->CurrentLocation);
      return Complete(irp, STATUS_SUCCESS);
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(kIoctl, top, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_THAT(locations, ElementsAre(3, 2, 1));

    AsDriver(driver, [&] {
      IoDetachDevice(middle);
      EXPECT_EQ(middle->AttachedDevice, nullptr);
      IoDetachDevice(lower);
      EXPECT_EQ(lower->AttachedDevice, nullptr);
      IoDeleteDevice(upper);
      IoDeleteDevice(middle);
      IoDeleteDevice(lower);
    });
    UnloadDriver(driver);
  });
}

TEST(DeviceObjects, NamesAreUniqueIgnoringCaseUntilTheDeviceIsDeleted) {
  wk::Run(0, [] {
    Script script;
    PDRIVER_OBJECT driver = LoadScriptedDriver(L"named");
    PDEVICE_OBJECT first = CreateScriptedDevice(driver, &script, L"\\Device\\KorvTest0");
    EXPECT_EQ(wk::FindDevice(L"\\Device\\KorvTest0"), first);
    EXPECT_EQ(wk::FindDevice(L"\\device\\korvtest0"), first);

    AsDriver(driver, [&] {
      for (const wchar_t* name : {L"\\Device\\KorvTest0", L"\\DEVICE\\KORVTEST0"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT second = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
                  STATUS_OBJECT_NAME_COLLISION);
      }
    });
    EXPECT_EQ(CountsOf(driver).devices, 1);

    // Unnamed devices never collide.
    PDEVICE_OBJECT anon1 = CreateScriptedDevice(driver, &script);
    PDEVICE_OBJECT anon2 = CreateScriptedDevice(driver, &script);
    EXPECT_NE(anon1, anon2);
    EXPECT_EQ(CountsOf(driver).devices, 3);

    AsDriver(driver, [&] { IoDeleteDevice(first); });
    EXPECT_EQ(wk::FindDevice(L"\\Device\\KorvTest0"), nullptr);
    PDEVICE_OBJECT again = CreateScriptedDevice(driver, &script, L"\\Device\\KorvTest0");
    EXPECT_EQ(wk::FindDevice(L"\\Device\\KorvTest0"), again);

    AsDriver(driver, [&] {
      IoDeleteDevice(again);
      IoDeleteDevice(anon1);
      IoDeleteDevice(anon2);
    });
    UnloadDriver(driver);
  });
}

TEST(DeviceObjects, SymbolicLinksResolveUntilDeleted) {
  wk::Run(0, [] {
    Script script;
    PDRIVER_OBJECT driver = LoadScriptedDriver(L"linked");
    PDEVICE_OBJECT device = CreateScriptedDevice(driver, &script, L"\\Device\\KorvTest1");
    UNICODE_STRING link, target, other;
    RtlInitUnicodeString(&link, L"\\DosDevices\\KORVTEST1");
    RtlInitUnicodeString(&target, L"\\Device\\KorvTest1");
    RtlInitUnicodeString(&other, L"\\Device\\Elsewhere");

    AsDriver(driver, [&] {
      EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
      EXPECT_EQ(wk::ResolveSymbolicLink(L"\\DosDevices\\KORVTEST1"), L"\\Device\\KorvTest1");
      EXPECT_EQ(wk::ResolveSymbolicLink(L"\\DosDevices\\korvtest1"), L"\\Device\\KorvTest1");
      EXPECT_EQ(wk::FindDevice(wk::ResolveSymbolicLink(L"\\DosDevices\\KORVTEST1")), device);

      // A second link of the same name fails and leaves the first in place.
      EXPECT_EQ(IoCreateSymbolicLink(&link, &other), STATUS_OBJECT_NAME_COLLISION);
      EXPECT_EQ(wk::ResolveSymbolicLink(L"\\DosDevices\\KORVTEST1"), L"\\Device\\KorvTest1");

      EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
      EXPECT_EQ(wk::ResolveSymbolicLink(L"\\DosDevices\\KORVTEST1"), L"");
      EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
      EXPECT_EQ(IoCreateSymbolicLink(&link, &other), STATUS_SUCCESS);
      EXPECT_EQ(wk::ResolveSymbolicLink(L"\\DosDevices\\KORVTEST1"), L"\\Device\\Elsewhere");
      EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
      IoDeleteDevice(device);
    });
    UnloadDriver(driver);
  });
}

NTSTATUS EntryWithNoDispatch(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST(DeviceObjects, MajorFunctionsADriverLeavesAloneAnswerInvalidDeviceRequest) {
  wk::Run(0, [] {
    PDRIVER_OBJECT driver = wk::LoadDriver(L"bare", EntryWithNoDispatch);
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT device = nullptr;
    AsDriver(driver, [&] {
      ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                STATUS_SUCCESS);
      device->Flags = (device->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    });
    UCHAR buffer[8] = {};
    const std::pair<const char*, std::function<PIRP(KEVENT*, IO_STATUS_BLOCK*)>> kRequests[] = {
        {"read",
         [&](KEVENT* e, IO_STATUS_BLOCK* b) {
           return IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof buffer, nullptr,
                                               e, b);
         }},
        {"device control",
         [&](KEVENT* e, IO_STATUS_BLOCK* b) {
           return IoBuildDeviceIoControlRequest(kIoctl, device, buffer, 4, buffer, 8, FALSE, e, b);
         }},
        {"internal device control",
         [&](KEVENT* e, IO_STATUS_BLOCK* b) {
           return IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, TRUE, e, b);
         }},
    };
    for (const auto& [name, build] : kRequests) {
      SCOPED_TRACE(name);
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{{0x7777}, 0x7777};
      EXPECT_EQ(IoCallDriver(device, build(&done, &iosb)), STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(KeReadStateEvent(&done), 1);
      EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(iosb.Information, 0u);
      EXPECT_EQ(LiveIrps(), 0);
    }
    AsDriver(driver, [&] { IoDeleteDevice(device); });
    UnloadDriver(driver);
  });
}

}  // namespace
