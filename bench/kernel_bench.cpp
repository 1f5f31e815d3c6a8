// What the stand-in kernel costs in real time: a request through a two-driver
// stack, an event hand-off between two simulated threads, and a long virtual
// wait. Built best with the `bench` preset (optimised):
//   cmake --preset bench && cmake --build --preset bench --target kernel_bench
//   build/bench/bench/kernel_bench
// Every benchmark runs inside one simulation run, on simulated threads, so
// rates are taken from real time.
#include <benchmark/benchmark.h>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"

namespace {

namespace host = winsim::host;
namespace sim = winsim::kernel;

constexpr LONGLONG kSecond = 10'000'000;  // 100 ns units
constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);

// ---- two stacked drivers ----------------------------------------------------------

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 1;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS UpperDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  irp->IoStatus.Information++;
  return STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, UpperDone, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(lower, irp);
}

NTSTATUS UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS Stop(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void BM_RoundTripThroughTwoDrivers(benchmark::State& state) {
  sim::Run(0, [&] {
    PDRIVER_OBJECT lowerDriver = sim::LoadDriver(L"benchlower", LowerEntry);
    PDRIVER_OBJECT upperDriver = sim::LoadDriver(L"benchupper", UpperEntry);
    PDEVICE_OBJECT lower, upper;
    IoCreateDevice(lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &upper);
    *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension) =
        IoAttachDeviceToDeviceStack(upper, lower);
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    upper->Flags &= ~DO_DEVICE_INITIALIZING;

    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    for (auto _ : state) {
      IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
      IoSetCompletionRoutine(irp, Stop, nullptr, TRUE, TRUE, TRUE);
      NTSTATUS status = IoCallDriver(upper, irp);
      if (status != STATUS_SUCCESS || irp->IoStatus.Information != 2) {
        state.SkipWithError("the request did not come back through both drivers");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
    IoFreeIrp(irp);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    sim::UnloadDriver(upperDriver);
    sim::UnloadDriver(lowerDriver);
  });
}
BENCHMARK(BM_RoundTripThroughTwoDrivers)->UseRealTime();

// ---- event hand-off -------------------------------------------------------------

// Two threads pass the baton back and forth through two synchronization
// events; every iteration is two hand-offs, counted by the scheduler itself.
void BM_EventHandOff(benchmark::State& state) {
  sim::Run(0, [&] {
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    host::Thread* peer = sim::StartThread("peer", [&] {
      for (;;) {
        KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
        if (stop) return;
        KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
      }
    });
    uint64_t before = host::Switches();
    for (auto _ : state) {
      KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    state.SetItemsProcessed(static_cast<int64_t>(host::Switches() - before));
    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    while (!host::Finished(peer)) {
      LARGE_INTEGER tick{};
      tick.QuadPart = -1;
      KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
  });
}
BENCHMARK(BM_EventHandOff)->UseRealTime();

// ---- virtual time ---------------------------------------------------------------

// A ten-second time-out with a device thread idle meanwhile: the clock jumps.
void BM_TenSecondVirtualWait(benchmark::State& state) {
  sim::Run(0, [&] {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    HANDLE handle;
    PsCreateSystemThread(
        &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
        [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
        nullptr);
    ZwClose(handle);
    uint64_t start = KeQueryInterruptTime();
    for (auto _ : state) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -10 * kSecond;
      if (KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT) {
        state.SkipWithError("the wait did not time out");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["virtual_s_per_wait"] =
        benchmark::Counter(static_cast<double>(KeQueryInterruptTime() - start) / kSecond,
                           benchmark::Counter::kAvgIterations);
  });
}
BENCHMARK(BM_TenSecondVirtualWait)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
