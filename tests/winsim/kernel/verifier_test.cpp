// The verifier: one faulty driver behaviour per row, each stopping the run
// with a report that names the call, the driver whose code was running and
// the request.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

#include "tests/winsim/kernel/test_drivers.h"

namespace {

using winsim::kernel::AsDriver;
using winsim::kernel::UnloadDriver;
using namespace winsim::testing;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kTag = Tag("Korv");

// A stack of two scripted drivers, "lower" under "upper", and a "client"
// driver with no device that sends requests to the top. By default the upper
// driver passes every request down untouched.
struct Rig {
  DeviceStack stack{L"lower", L"upper"};
  PDRIVER_OBJECT client = LoadScriptedDriver(L"client");
  PDEVICE_OBJECT lower = stack[0].device;
  PDEVICE_OBJECT upper = stack[1].device;
  KEVENT parked;
  PIRP parkedIrp = nullptr;
  std::function<void()> laterBody;

  Rig() {
    KeInitializeEvent(&parked, SynchronizationEvent, FALSE);
    stack[1].script.dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(ScriptOf(device)->lower, irp);
    };
  }

  void Lower(Dispatch dispatch) { stack[0].script.dispatch = std::move(dispatch); }

  // The lower driver keeps each request and returns STATUS_PENDING, marking
  // it pending only when `mark`.
  void LowerParks(bool mark) {
    Lower([this, mark](PDEVICE_OBJECT, PIRP irp) {
      if (mark) IoMarkIrpPending(irp);
      parkedIrp = irp;
      KeSetEvent(&parked, IO_NO_INCREMENT, FALSE);
      return STATUS_PENDING;
    });
  }

  // Runs `work` on a system thread of the lower driver with the first
  // request it parks.
  void ThenOnLowerThread(std::function<void(PIRP)> work) {
    laterBody = [this, work] {
      KeWaitForSingleObject(&parked, Executive, KernelMode, FALSE, nullptr);
      work(parkedIrp);
    };
    StartSystemThread(stack[0].driver, laterBody);
  }

  // The client sends a buffered control request to the top of the stack and
  // waits for it.
  void SendIoctl() {
    AsDriver(client, [&] {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb;
      UCHAR buffer[8] = {};
      PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, upper, buffer, sizeof buffer, buffer,
                                               sizeof buffer, FALSE, &done, &iosb);
      if (IoCallDriver(upper, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      }
    });
  }

  // Keeps the scenario (and everything it owns) alive while other threads
  // run into the fault; the run ends in a deadlock report if none comes.
  static void WaitForever() {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  }

  // The client allocates a request sized for `target`'s stack, without a
  // completion routine unless given one.
  PIRP AllocateFor(PDEVICE_OBJECT target, Routine* routine = nullptr) {
    PIRP irp = nullptr;
    AsDriver(client, [&] {
      irp = IoAllocateIrp(target->StackSize, FALSE);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
      next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
      if (routine) SetCompletion(irp, routine);
    });
    return irp;
  }
};

VOID IgnoreCancel(PDEVICE_OBJECT, PIRP) {}

NTSTATUS WaitAtDispatch(PLARGE_INTEGER timeout) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  return KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, timeout);
}

// A driver loaded for a leak row; its code then runs `leak`.
void UnloadAfter(const std::function<void(PDRIVER_OBJECT)>& leak) {
  PDRIVER_OBJECT driver = LoadScriptedDriver(L"leaky");
  AsDriver(driver, [&] { leak(driver); });
  UnloadDriver(driver);
}

const std::function<void()> g_idle = Rig::WaitForever;

struct Fault {
  const char* name;
  std::function<void()> scenario;  // runs inside a run and must not get to its end
  const char* call;
  const char* what;     // regular expression for the verdict
  const char* driver;   // the driver named by the report
  const char* request;  // regular expression for the request, or "none"
};

const char* const kDeviceControl = "IRP 0x[0-9a-f]+ IRP_MJ_DEVICE_CONTROL minor 0x0 code 0x222008";
const char* const kInternalControl =
    "IRP 0x[0-9a-f]+ IRP_MJ_INTERNAL_DEVICE_CONTROL minor 0x0 code 0x222008";

const Fault kFaults[] = {
    {"CompletedTwice",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "IoCompleteRequest", "completed a request twice", "lower", kDeviceControl},

    {"CompletedTwiceAfterTheIoManagerFreedIt",
     [] {
       Rig rig;
       rig.LowerParks(true);
       rig.ThenOnLowerThread([](PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "IoCompleteRequest", "used a request that was already freed", "lower", kDeviceControl},

    {"CompletedWithStatusPending",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); });
       rig.SendIoctl();
     },
     "IoCompleteRequest", "completed a request with STATUS_PENDING", "lower", kDeviceControl},

    {"PendingReturnedUnmarkedAfterCompleting",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
       });
       rig.SendIoctl();
     },
     "IoCallDriver", "lower returned STATUS_PENDING without IoMarkIrpPending", "lower",
     kDeviceControl},

    {"PendingReturnedUnmarkedThenCompletedLater",
     [] {
       Rig rig;
       rig.LowerParks(false);
       rig.ThenOnLowerThread([](PIRP irp) { Complete(irp, STATUS_SUCCESS); });
       rig.SendIoctl();
     },
     "IoCompleteRequest",
     "the dispatch routine of lower returned STATUS_PENDING without IoMarkIrpPending", "lower",
     kDeviceControl},

    {"CompletionRoutineDropsPendingReturned",
     [] {
       Rig rig;
       Routine forgetful = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
       rig.stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         SetCompletion(irp, &forgetful);
         return IoCallDriver(ScriptOf(device)->lower, irp);
       };
       rig.LowerParks(true);
       rig.ThenOnLowerThread([](PIRP irp) { Complete(irp, STATUS_SUCCESS); });
       rig.SendIoctl();
     },
     "IoCompleteRequest",
     "the dispatch routine of upper returned STATUS_PENDING without IoMarkIrpPending", "lower",
     kDeviceControl},

    {"MarkedPendingButReturnedSuccess",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "IoCallDriver", "lower marked the request pending but returned status 0x00000000", "lower",
     kDeviceControl},

    {"MarkedPendingFromBelowAfterReturningSuccess",
     [] {
       Rig rig;
       // Returns success whatever the lower driver said.
       rig.stack[1].script.dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         IoCallDriver(ScriptOf(device)->lower, irp);
         return STATUS_SUCCESS;
       };
       rig.LowerParks(true);
       rig.ThenOnLowerThread([](PIRP irp) { Complete(irp, STATUS_SUCCESS); });
       rig.SendIoctl();
       Rig::WaitForever();
     },
     "IoCompleteRequest",
     "the dispatch routine of upper returned a status other than STATUS_PENDING, but the request "
     "was marked pending at its stack location",
     "lower", kDeviceControl},

    {"CompletedWithCancelRoutineSet",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         IoSetCancelRoutine(irp, IgnoreCancel);
         return Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "IoCompleteRequest", "completed a request whose cancel routine is still set", "lower",
     kDeviceControl},

    {"SentWithNoStackLocationLeft",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
       rig.stack[1].script.dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         return IoCallDriver(ScriptOf(device)->lower, irp);
       };
       // Sized for the lower device but sent to the upper one, which needs a
       // location of its own.
       PIRP irp = rig.AllocateFor(rig.lower);
       AsDriver(rig.client, [&] { IoCallDriver(rig.upper, irp); });
     },
     "IoCallDriver", "sent a request with no stack location left for lower", "upper",
     "IRP 0x[0-9a-f]+ IRP_MJ_INTERNAL_DEVICE_CONTROL minor 0x0 code 0x222008, stack location 1 "
     "of 1"},

    {"CompletionRoutineOfTheAllocatorMarksPending",
     [] {
       Rig rig;
       rig.LowerParks(true);
       rig.ThenOnLowerThread([](PIRP irp) { Complete(irp, STATUS_SUCCESS); });
       Routine marks = [](PDEVICE_OBJECT, PIRP irp) {
         if (irp->PendingReturned) IoMarkIrpPending(irp);
         IoFreeIrp(irp);
         return STATUS_MORE_PROCESSING_REQUIRED;
       };
       PIRP irp = rig.AllocateFor(rig.upper, &marks);
       AsDriver(rig.client, [&] { IoCallDriver(rig.upper, irp); });
       Rig::WaitForever();
     },
     "IoMarkIrpPending", "has no stack location for the caller", "client", kInternalControl},

    {"WaitWithTimeoutAtDispatchLevel",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10 * 1000 * 10;  // 10 ms
         WaitAtDispatch(&timeout);
         return Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "KeWaitForSingleObject", "waited with a non-zero time-out at IRQL 2", "lower", "none"},

    {"WaitWithoutTimeoutAtDispatchLevel",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) {
         WaitAtDispatch(nullptr);
         return Complete(irp, STATUS_SUCCESS);
       });
       rig.SendIoctl();
     },
     "KeWaitForSingleObject", "waited without a time-out at IRQL 2", "lower", "none"},

    {"SpinLockReleasedWhenNotHeld",
     [] {
       Rig rig;
       AsDriver(rig.stack[0].driver, [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
       });
     },
     "KeReleaseSpinLock", "released a spin lock that is not held", "lower", "none"},

    {"SpinLockReleasedByAnotherThread",
     [] {
       Rig rig;
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL irql;
       std::function<void()> release = [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); };
       StartSystemThread(rig.stack[0].driver, release);
       AsDriver(rig.client, [&] {
         KeAcquireSpinLock(&lock, &irql);
         // Lets the other processor run while this one holds the lock.
         KeStallExecutionProcessor(50);
       });
     },
     "KeReleaseSpinLock", "released a spin lock held by thread 'main'", "lower", "none"},

    {"SpinLockReleasedAboveDispatchLevel",
     [] {
       Rig rig;
       AsDriver(rig.stack[0].driver, [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL irql, dispatch;
         KeAcquireSpinLock(&lock, &irql);
         KeRaiseIrql(DISPATCH_LEVEL + 3, &dispatch);
         KeReleaseSpinLock(&lock, irql);
       });
     },
     "KeReleaseSpinLock", "released a spin lock at IRQL 5 instead of DISPATCH_LEVEL", "lower",
     "none"},

    {"DeviceDeletedTwice",
     [] {
       Script script;
       PDRIVER_OBJECT driver = LoadScriptedDriver(L"lower");
       PDEVICE_OBJECT device = CreateScriptedDevice(driver, &script);
       AsDriver(driver, [&] {
         IoDeleteDevice(device);
         IoDeleteDevice(device);
       });
     },
     "IoDeleteDevice", "deleted a device object twice", "lower", "none"},

    {"DeviceDeletedWithARequestInside",
     [] {
       Rig rig;
       rig.LowerParks(true);
       PIRP irp = rig.AllocateFor(rig.upper);
       AsDriver(rig.client, [&] { IoCallDriver(rig.upper, irp); });
       AsDriver(rig.stack[0].driver, [&] { IoDeleteDevice(rig.lower); });
     },
     "IoDeleteDevice", "deleted a device object with 1 request\\(s\\) still inside it", "lower",
     "none"},

    {"UnloadedHoldingPool",
     [] { UnloadAfter([](PDRIVER_OBJECT) { ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag); }); },
     "unload", "leaky was unloaded with 1 pool block\\(s\\) \\[ 'Korv':24 \\] still alive", "leaky",
     "none"},

    {"UnloadedHoldingARequest",
     [] { UnloadAfter([](PDRIVER_OBJECT) { IoAllocateIrp(2, FALSE); }); }, "unload",
     "leaky was unloaded with 1 request\\(s\\) still alive", "leaky", "none"},

    {"UnloadedHoldingAnMdl",
     [] {
       static UCHAR buffer[64];
       UnloadAfter(
           [](PDRIVER_OBJECT) { IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr); });
     },
     "unload", "leaky was unloaded with 1 MDL\\(s\\) still alive", "leaky", "none"},

    {"UnloadedWithASystemThreadRunning",
     [] { UnloadAfter([](PDRIVER_OBJECT driver) { StartSystemThread(driver, g_idle); }); },
     "unload", "leaky was unloaded with 1 running system thread\\(s\\) still alive", "leaky",
     "none"},

    {"UnloadedLeakingSeveralKinds",
     [] {
       UnloadAfter([](PDRIVER_OBJECT) {
         ExAllocatePoolWithTag(PagedPool, 8, Tag("Cfg "));
         ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTag);
         IoAllocateIrp(1, FALSE);
       });
     },
     "unload",
     "leaky was unloaded with 2 pool block\\(s\\) \\[ ('Korv':100 'Cfg ':8|'Cfg ':8 'Korv':100) "
     "\\] 1 request\\(s\\) still alive",
     "leaky", "none"},

    {"RequestFreedTwice",
     [] {
       Rig rig;
       PIRP irp = rig.AllocateFor(rig.upper);
       AsDriver(rig.client, [&] {
         IoFreeIrp(irp);
         IoFreeIrp(irp);
       });
     },
     "IoFreeIrp", "used a request that was already freed", "client", kInternalControl},

    {"ThreadedRequestFreedByItsBuilder",
     [] {
       Rig rig;
       AsDriver(rig.client, [&] {
         KEVENT done;
         KeInitializeEvent(&done, NotificationEvent, FALSE);
         IO_STATUS_BLOCK iosb;
         IoFreeIrp(IoBuildDeviceIoControlRequest(kIoctl, rig.upper, nullptr, 0, nullptr, 0, FALSE,
                                                 &done, &iosb));
       });
     },
     "IoFreeIrp", "freed a request built for a thread; the I/O manager frees it", "client",
     "IRP 0x[0-9a-f]+ IRP_MJ_DEVICE_CONTROL minor 0x0 code 0x222008, not inside any driver"},

    {"RequestFreedWhileADriverHoldsIt",
     [] {
       Rig rig;
       rig.LowerParks(true);
       PIRP irp = rig.AllocateFor(rig.upper);
       AsDriver(rig.client, [&] {
         IoCallDriver(rig.upper, irp);
         IoFreeIrp(irp);
       });
     },
     "IoFreeIrp", "freed a request that is still inside a driver", "client",
     "IRP 0x[0-9a-f]+ IRP_MJ_INTERNAL_DEVICE_CONTROL minor 0x0 code 0x222008, stack location 2 "
     "of 2"},

    {"CompletionRoutineResendsWithoutTakingTheRequestBack",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); });
       int tries = 0;
       Routine retry = [&](PDEVICE_OBJECT device, PIRP irp) {
         if (++tries == 1) {
           IoCopyCurrentIrpStackLocationToNext(irp);
           SetCompletion(irp, &retry);
           IoCallDriver(ScriptOf(device)->lower, irp);
         }
         return STATUS_SUCCESS;
       };
       rig.stack[1].script.dispatch = [&](PDEVICE_OBJECT device, PIRP irp) {
         IoCopyCurrentIrpStackLocationToNext(irp);
         SetCompletion(irp, &retry);
         return IoCallDriver(ScriptOf(device)->lower, irp);
       };
       rig.SendIoctl();
     },
     "IoCompleteRequest",
     "a completion routine of upper sent on, completed or freed the request but did not return "
     "STATUS_MORE_PROCESSING_REQUIRED",
     "upper", kDeviceControl},

    {"AllocatedRequestCompletedToTheIoManager",
     [] {
       Rig rig;
       rig.Lower([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
       PIRP irp = rig.AllocateFor(rig.upper);
       AsDriver(rig.client, [&] { IoCallDriver(rig.upper, irp); });
     },
     "IoCompleteRequest",
     "a request allocated by client reached the I/O manager: its completion routine must return "
     "STATUS_MORE_PROCESSING_REQUIRED and free it",
     "lower", kInternalControl},

    {"PoolFreedTwice",
     [] {
       Rig rig;
       AsDriver(rig.stack[0].driver, [] {
         PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
         ExFreePoolWithTag(block, kTag);
         ExFreePoolWithTag(block, kTag);
       });
     },
     "ExFreePoolWithTag", "freed a pool block twice", "lower", "none"},

    {"PoolFreedWithAnotherTag",
     [] {
       Rig rig;
       AsDriver(rig.stack[0].driver, [] {
         ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag), Tag("Korw"));
       });
     },
     "ExFreePoolWithTag", "freed a block tagged 'Korv' with tag 'Korw'", "lower", "none"},
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class Verifier : public testing::TestWithParam<Fault> {};

TEST_P(Verifier, StopsTheRunNamingCallDriverAndRequest) {
  const Fault& f = GetParam();
  EXPECT_DEATH(winsim::kernel::Run(0, f.scenario),
               VerifierReport(f.call, f.what, f.driver, f.request));
}

INSTANTIATE_TEST_SUITE_P(Faults, Verifier, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& info) { return info.param.name; });

}  // namespace
