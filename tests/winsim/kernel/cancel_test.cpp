// Cancellation racing completion: a driver holds read requests with a cancel
// routine until its device thread completes them, while an application thread
// cancels them. Whatever the interleaving, each request ends exactly once.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "platform/kernel.h"
#include "tests/winsim/kernel/seeds.h"
#include "winsim/kernel/sim.h"

namespace {

namespace sim = winsim::kernel;
using winsim::testing::ForEachSeed;
using winsim::testing::Seeds;

constexpr LONGLONG kSecond = 10'000'000;  // 100 ns units
constexpr ULONG kBytesRead = 16;

// ---- the holding driver ----------------------------------------------------------

struct CancelProbe {
  bool called = false;
  KIRQL irql = PASSIVE_LEVEL;
  bool cancelFlag = false;
  bool routineCleared = false;
  KIRQL cancelIrql = HIGH_LEVEL;
};

struct Holder {
  KSPIN_LOCK lock;  // guards queue
  LIST_ENTRY queue;
  KEVENT work;
  KEVENT stop;
  PVOID thread;
  // How requests ended.
  LONG byDevice;
  LONG byCancelRoutine;
  LONG atDispatch;
  // The narrow races: the cancel routine was already on its way when dispatch
  // queued the request, or when the device thread took it off the queue.
  LONG queuedForCancelRoutine;
  LONG leftToCancelRoutine;
  CancelProbe probe;
};

Holder* HolderOf(PDEVICE_OBJECT device) { return static_cast<Holder*>(device->DeviceExtension); }

VOID HolderCancel(PDEVICE_OBJECT device, PIRP irp) {
  Holder* h = HolderOf(device);
  if (!h->probe.called) {
    h->probe = {true, KeGetCurrentIrql(), irp->Cancel != FALSE, irp->CancelRoutine == nullptr,
                irp->CancelIrql};
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&h->lock, &irql);
  // The device thread may have taken it off the queue already; it then left
  // the entry pointing at itself.
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  h->byCancelRoutine++;
  KeReleaseSpinLock(&h->lock, irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS HolderRead(PDEVICE_OBJECT device, PIRP irp) {
  Holder* h = HolderOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&h->lock, &irql);
  IoSetCancelRoutine(irp, HolderCancel);
  // Cancelled before the routine was set: if we take the routine back, the
  // request is ours to end; if not, the cancel routine is on its way and
  // will find the request in the queue.
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    h->atDispatch++;
    KeReleaseSpinLock(&h->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  if (irp->Cancel) h->queuedForCancelRoutine++;
  IoMarkIrpPending(irp);
  InsertTailList(&h->queue, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&h->lock, irql);
  KeSetEvent(&h->work, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// Completes what is queued, one request at a time, as a device would.
void CompleteQueued(Holder* h) {
  KIRQL irql;
  KeAcquireSpinLock(&h->lock, &irql);
  while (!IsListEmpty(&h->queue)) {
    PLIST_ENTRY entry = RemoveHeadList(&h->queue);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      // The cancel routine owns it and will remove the entry itself.
      h->leftToCancelRoutine++;
      InitializeListHead(entry);
      continue;
    }
    h->byDevice++;
    KeReleaseSpinLock(&h->lock, irql);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = kBytesRead;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeAcquireSpinLock(&h->lock, &irql);
  }
  KeReleaseSpinLock(&h->lock, irql);
}

VOID HolderDeviceThread(PVOID context) {
  auto* h = static_cast<Holder*>(context);
  PVOID objects[] = {&h->stop, &h->work};
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
    CompleteQueued(h);
    if (status == STATUS_WAIT_0) break;
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PDEVICE_OBJECT g_holderDevice;

NTSTATUS HolderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = HolderRead;
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Holder), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Holder* h = new (device->DeviceExtension) Holder{};
  KeInitializeSpinLock(&h->lock);
  InitializeListHead(&h->queue);
  KeInitializeEvent(&h->work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&h->stop, NotificationEvent, FALSE);
  HANDLE handle;
  status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                HolderDeviceThread, h);
  if (NT_SUCCESS(status)) {
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &h->thread,
                                       nullptr);
    ZwClose(handle);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_holderDevice = device;
  return STATUS_SUCCESS;
}

// What the driver does when its device goes away: stop the device thread,
// wait for it, delete the device.
void HolderRemove(PDEVICE_OBJECT device) {
  Holder* h = HolderOf(device);
  KeSetEvent(&h->stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(h->thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(h->thread);
  IoDeleteDevice(device);
}

// ---- the application side ------------------------------------------------------

constexpr int kRequests = 4;

struct Batch;
struct Request {
  PIRP irp = nullptr;
  Batch* batch = nullptr;
  LONG completions = 0;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  NTSTATUS sent = STATUS_PENDING;  // what IoCallDriver returned
  BOOLEAN cancelled = FALSE;       // what IoCancelIrp returned
};

struct Batch {
  Request requests[kRequests];
  LONG done = 0;
  KEVENT allDone;
  KEVENT cancellerDone;
};

NTSTATUS RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<Request*>(context);
  r->completions++;
  r->status = irp->IoStatus.Status;
  r->information = irp->IoStatus.Information;
  if (InterlockedIncrement(&r->batch->done) == kRequests) {
    KeSetEvent(&r->batch->allDone, IO_NO_INCREMENT, FALSE);
  }
  // The request is ours; it is freed once the canceller is done with it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP NewRead(PDEVICE_OBJECT device, Request* r) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = kBytesRead;
  IoSetCompletionRoutine(irp, RequestDone, r, TRUE, TRUE, TRUE);
  return irp;
}

struct Paths {
  LONG byDevice = 0;
  LONG byCancelRoutine = 0;
  LONG atDispatch = 0;
  LONG queuedForCancelRoutine = 0;
  LONG leftToCancelRoutine = 0;
};

// One race: main sends the requests while "canceller" cancels each of them
// once and the device thread completes whatever is queued.
void RaceCancelAgainstCompletion(uint64_t seed, Paths& total) {
  Batch batch;
  sim::Run(seed, [&] {
    PDRIVER_OBJECT driver = sim::LoadDriver(L"holder", HolderEntry);
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT device = g_holderDevice;
    KeInitializeEvent(&batch.allDone, NotificationEvent, FALSE);
    KeInitializeEvent(&batch.cancellerDone, NotificationEvent, FALSE);
    for (Request& r : batch.requests) {
      r.batch = &batch;
      r.irp = NewRead(device, &r);
    }
    sim::StartThread("canceller", [&] {
      for (Request& r : batch.requests) r.cancelled = IoCancelIrp(r.irp);
      KeSetEvent(&batch.cancellerDone, IO_NO_INCREMENT, FALSE);
    });
    for (Request& r : batch.requests) r.sent = IoCallDriver(device, r.irp);

    LARGE_INTEGER patience;
    patience.QuadPart = -60 * kSecond;
    ASSERT_EQ(KeWaitForSingleObject(&batch.allDone, Executive, KernelMode, FALSE, &patience),
              STATUS_WAIT_0)
        << batch.done << " of " << kRequests << " requests came back";
    KeWaitForSingleObject(&batch.cancellerDone, Executive, KernelMode, FALSE, nullptr);
    for (Request& r : batch.requests) IoFreeIrp(r.irp);
    EXPECT_EQ(sim::LiveIrps(), 0);

    Holder* h = HolderOf(device);
    EXPECT_EQ(h->byDevice + h->byCancelRoutine + h->atDispatch, kRequests);
    total.byDevice += h->byDevice;
    total.byCancelRoutine += h->byCancelRoutine;
    total.atDispatch += h->atDispatch;
    total.queuedForCancelRoutine += h->queuedForCancelRoutine;
    total.leftToCancelRoutine += h->leftToCancelRoutine;
    sim::AsDriver(driver, [&] { HolderRemove(device); });
    sim::UnloadDriver(driver);
    sim::DriverCounts left = sim::CountsOf(driver);
    EXPECT_EQ(left.poolBlocks + left.irps + left.handles + left.threads + left.devices, 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  for (int i = 0; i < kRequests; ++i) {
    const Request& r = batch.requests[i];
    SCOPED_TRACE("request " + std::to_string(i));
    EXPECT_EQ(r.completions, 1);
    if (r.status == STATUS_SUCCESS) {
      EXPECT_EQ(r.information, kBytesRead);
      EXPECT_FALSE(r.cancelled) << "IoCancelIrp called a cancel routine, yet the device "
                                   "completed the request";
      EXPECT_EQ(r.sent, STATUS_PENDING);
    } else {
      EXPECT_EQ(r.status, STATUS_CANCELLED);
      EXPECT_EQ(r.information, 0u);
    }
    EXPECT_TRUE(r.sent == STATUS_PENDING || r.sent == STATUS_CANCELLED) << r.sent;
  }
}

TEST(Cancel, CancellationRacingCompletionEndsEveryRequestExactlyOnce) {
  Paths total;
  ForEachSeed(Seeds::Range(1, 1000),
              [&](uint64_t seed) { RaceCancelAgainstCompletion(seed, total); });
  // The seeds must reach every way a request can end, or the race was not run.
  EXPECT_GT(total.byDevice, 0);
  EXPECT_GT(total.byCancelRoutine, 0);
  EXPECT_GT(total.atDispatch, 0);
  EXPECT_GT(total.queuedForCancelRoutine, 0);
  EXPECT_GT(total.leftToCancelRoutine, 0);
}

// The documented entry conditions of a cancel routine, seen from inside it.
TEST(Cancel, CancelRoutineRunsUnderTheCancelSpinLockWithTheRoutineCleared) {
  sim::Run(0, [] {
    PDRIVER_OBJECT driver = sim::LoadDriver(L"holder", HolderEntry);
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT device = g_holderDevice;
    Batch batch;
    KeInitializeEvent(&batch.allDone, NotificationEvent, FALSE);
    Request& r = batch.requests[0];
    r.batch = &batch;
    r.irp = NewRead(device, &r);
    // Seed 0: the device thread does not run before main blocks.
    EXPECT_EQ(IoCallDriver(device, r.irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(r.irp));
    EXPECT_EQ(r.completions, 1);
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_FALSE(IoCancelIrp(r.irp)) << "a second cancel found a cancel routine";
    IoFreeIrp(r.irp);

    const CancelProbe& probe = HolderOf(device)->probe;
    EXPECT_TRUE(probe.called);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(probe.cancelFlag);
    EXPECT_TRUE(probe.routineCleared);
    EXPECT_EQ(probe.cancelIrql, PASSIVE_LEVEL) << "the IRQL to restore is the canceller's";
    sim::AsDriver(driver, [&] { HolderRemove(device); });
    sim::UnloadDriver(driver);
  });
}

}  // namespace
