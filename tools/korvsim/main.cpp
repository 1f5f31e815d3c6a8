// korvsim: runs a scenario on the simulated kernel and prints what happened.
//
// The "kernel" scenario demonstrates the stand-in itself: a demo device driver
// whose system thread completes pending reads when "card data" arrives, a
// filter driver stacked on it, and an application thread that reads with
// time-outs and cancels the read that times out. Exit status 0 means every
// request came back and nothing leaked.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "tools/korvsim/scenarios.h"
#include "winsim/kernel/sim.h"

namespace {

namespace sim = winsim::kernel;
using korvsim::Log;

constexpr LONGLONG kMillisecond = 10'000;  // 100 ns units
constexpr ULONG kRecordLength = 16;


const char* StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return "STATUS_SUCCESS";
    case STATUS_CANCELLED:
      return "STATUS_CANCELLED";
    case STATUS_TIMEOUT:
      return "STATUS_TIMEOUT";
    case STATUS_PENDING:
      return "STATUS_PENDING";
    default:
      return "another status";
  }
}

// The application numbers its reads in the key of the request, which the
// filter passes down, so every layer's log names the same read.
unsigned long ReadNumber(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Key;
}

// ---- the demo device driver: reads wait until data arrives ------------------------

namespace demo_device {

// Virtual times at which a card is swiped; the fourth read finds no card.
constexpr LONGLONG kSwipesAt[] = {500 * kMillisecond, 1200 * kMillisecond, 2000 * kMillisecond};

struct Extension {
  KSPIN_LOCK lock;  // guards pending
  LIST_ENTRY pending;
  KEVENT stop;
  PVOID thread;
};

Extension* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<Extension*>(device->DeviceExtension);
}

VOID CancelRead(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Extension* ext = ExtensionOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&ext->lock, irql);
  Log("device", "read #%lu cancelled", ReadNumber(irp));
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
  Extension* ext = ExtensionOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  IoSetCancelRoutine(irp, CancelRead);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&ext->lock, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  InsertTailList(&ext->pending, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&ext->lock, irql);
  Log("device", "read #%lu pending until a card is swiped", ReadNumber(irp));
  return STATUS_PENDING;
}

// The oldest pending read whose cancel routine could be taken back, or null.
PIRP TakeOldestRead(Extension* ext) {
  KIRQL irql;
  KeAcquireSpinLock(&ext->lock, &irql);
  PIRP taken = nullptr;
  while (taken == nullptr && !IsListEmpty(&ext->pending)) {
    PLIST_ENTRY entry = RemoveHeadList(&ext->pending);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
      taken = irp;
    } else {
      InitializeListHead(entry);  // its cancel routine is running and removes it
    }
  }
  KeReleaseSpinLock(&ext->lock, irql);
  return taken;
}

VOID DeviceThread(PVOID context) {
  auto* ext = static_cast<Extension*>(context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  int card = 0;
  for (LONGLONG at : kSwipesAt) {
    LARGE_INTEGER when;
    when.QuadPart = start.QuadPart + at;  // absolute
    if (KeWaitForSingleObject(&ext->stop, Executive, KernelMode, FALSE, &when) != STATUS_TIMEOUT) {
      break;
    }
    ++card;
    PIRP irp = TakeOldestRead(ext);
    if (irp == nullptr) {
      Log("device", "card %d swiped with no read pending; data dropped", card);
      continue;
    }
    char record[kRecordLength + 1];
    std::snprintf(record, sizeof record, "CARD-%04d", card);
    ULONG length = static_cast<ULONG>(std::strlen(record));
    std::memcpy(irp->AssociatedIrp.SystemBuffer, record, length);
    Log("device", "card %d swiped: completing read #%lu with %lu bytes", card, ReadNumber(irp),
        static_cast<unsigned long>(length));
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = length;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  }
  KeWaitForSingleObject(&ext->stop, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PDEVICE_OBJECT g_device;

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = Read;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\KorvDemo0");
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Extension* ext = ExtensionOf(device);
  KeInitializeSpinLock(&ext->lock);
  InitializeListHead(&ext->pending);
  KeInitializeEvent(&ext->stop, NotificationEvent, FALSE);
  HANDLE handle;
  status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, DeviceThread,
                                ext);
  if (NT_SUCCESS(status)) {
    status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &ext->thread,
                                       nullptr);
    ZwClose(handle);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  g_device = device;
  return STATUS_SUCCESS;
}

// On removal: stop the device thread, wait for it, delete the device.
void Remove(PDEVICE_OBJECT device) {
  Extension* ext = ExtensionOf(device);
  KeSetEvent(&ext->stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(ext->thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(ext->thread);
  Log("device", "device thread ended; deleting the device");
  IoDeleteDevice(device);
}

}  // namespace demo_device

// ---- the demo filter: counts what passes through ------------------------------------

namespace demo_filter {

struct Extension {
  PDEVICE_OBJECT lower;
  LONG completed;
  ULONG_PTR bytes;
};

Extension* ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<Extension*>(device->DeviceExtension);
}

NTSTATUS ReadDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  Extension* ext = ExtensionOf(device);
  ext->completed++;
  ext->bytes += irp->IoStatus.Information;
  Log("filter", "read #%lu came back: %s, %lu bytes", ReadNumber(irp),
      StatusName(irp->IoStatus.Status), static_cast<unsigned long>(irp->IoStatus.Information));
  return STATUS_SUCCESS;
}

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ReadDone, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(ExtensionOf(device)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT below) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  Extension* ext = ExtensionOf(device);
  ext->lower = IoAttachDeviceToDeviceStack(device, below);
  if (ext->lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = Read;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

void Remove(PDEVICE_OBJECT device) {
  Extension* ext = ExtensionOf(device);
  Log("filter", "%ld reads passed through, %lu bytes; detaching", static_cast<long>(ext->completed),
      static_cast<unsigned long>(ext->bytes));
  IoDetachDevice(ext->lower);
  IoDeleteDevice(device);
}

}  // namespace demo_filter

// ---- the application ----------------------------------------------------------------

struct ReadResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR bytes = 0;
  LONG completions = 0;
};

struct PendingRead {
  KEVENT done;
  ReadResult* result;
};

NTSTATUS AppReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* read = static_cast<PendingRead*>(context);
  read->result->completions++;
  read->result->status = irp->IoStatus.Status;
  read->result->bytes = irp->IoStatus.Information;
  KeSetEvent(&read->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the application frees its request
}

// One read with a time-out; a read that times out is cancelled and waited for.
void ReadWithTimeout(PDEVICE_OBJECT top, int number, LONGLONG timeout, ReadResult* result) {
  char buffer[kRecordLength + 1] = {};
  PendingRead read;
  read.result = result;
  KeInitializeEvent(&read.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->AssociatedIrp.SystemBuffer = buffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = kRecordLength;
  next->Parameters.Read.Key = static_cast<ULONG>(number);
  IoSetCompletionRoutine(irp, AppReadDone, &read, TRUE, TRUE, TRUE);
  Log("app", "read #%d sent, time-out %lld ms", number,
      static_cast<long long>(timeout / kMillisecond));
  IoCallDriver(top, irp);

  LARGE_INTEGER relative;
  relative.QuadPart = -timeout;
  if (KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, &relative) ==
      STATUS_TIMEOUT) {
    Log("app", "read #%d timed out; cancelling it", number);
    IoCancelIrp(irp);
    KeWaitForSingleObject(&read.done, Executive, KernelMode, FALSE, nullptr);
  }
  if (result->status == STATUS_SUCCESS) {
    Log("app", "read #%d: %s, %lu bytes \"%s\"", number, StatusName(result->status),
        static_cast<unsigned long>(result->bytes), buffer);
  } else {
    Log("app", "read #%d: %s", number, StatusName(result->status));
  }
  IoFreeIrp(irp);
}

constexpr int kReads = 4;

struct Outcome {
  ReadResult reads[kReads];
  LONG liveRequests = -1;
  sim::DriverCounts device{}, filter{};
};

void Scenario(Outcome& out) {
  PDRIVER_OBJECT deviceDriver = sim::LoadDriver(L"korvdemo", demo_device::Entry);
  PDRIVER_OBJECT filterDriver = sim::LoadDriver(L"korvfilt", demo_filter::Entry);
  if (deviceDriver == nullptr || filterDriver == nullptr) {
    Log("kernel", "a demo driver failed to load");
    return;
  }
  PDEVICE_OBJECT device = demo_device::g_device;
  // As the PnP manager would: the filter's AddDevice with the device below.
  if (!NT_SUCCESS(filterDriver->DriverExtension->AddDevice(filterDriver, device))) {
    Log("kernel", "the filter did not attach");
    return;
  }
  PDEVICE_OBJECT top = device->AttachedDevice;
  Log("kernel", "loaded korvdemo and korvfilt: a stack of %d devices", top->StackSize);

  KEVENT appDone;
  KeInitializeEvent(&appDone, NotificationEvent, FALSE);
  sim::StartThread("app", [&] {
    for (int i = 0; i < kReads; ++i) {
      ReadWithTimeout(top, i + 1, 1500 * kMillisecond, &out.reads[i]);
    }
    KeSetEvent(&appDone, IO_NO_INCREMENT, FALSE);
  });
  KeWaitForSingleObject(&appDone, Executive, KernelMode, FALSE, nullptr);
  out.liveRequests = sim::LiveIrps();

  Log("kernel", "removing the stack, top first, and unloading both drivers");
  sim::AsDriver(filterDriver, [&] { demo_filter::Remove(top); });
  sim::AsDriver(deviceDriver, [&] { demo_device::Remove(device); });
  sim::UnloadDriver(filterDriver);
  sim::UnloadDriver(deviceDriver);
  out.filter = sim::CountsOf(filterDriver);
  out.device = sim::CountsOf(deviceDriver);
}

bool NothingLeft(const sim::DriverCounts& c) {
  return c.poolBlocks == 0 && c.irps == 0 && c.mdls == 0 && c.handles == 0 && c.threads == 0 &&
         c.devices == 0;
}

void PrintCounts(const char* name, const sim::DriverCounts& c) {
  std::printf("  %-9s pool %ld, requests %ld, MDLs %ld, handles %ld, threads %ld, devices %ld\n",
              name, static_cast<long>(c.poolBlocks), static_cast<long>(c.irps),
              static_cast<long>(c.mdls), static_cast<long>(c.handles), static_cast<long>(c.threads),
              static_cast<long>(c.devices));
}

int Usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--seed N] [reader|kernel]\n", program);
  return 2;
}

}  // namespace

namespace korvsim {

void Log(const char* who, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  double seconds = static_cast<double>(KeQueryInterruptTime()) / 1e7;
  std::printf("[%10.6f s] %-7s %s\n", seconds, who, text);
}

int RunKernelDemo(uint64_t seed) {

  std::printf("korvsim: demonstration scenario, seed %llu\n",
              static_cast<unsigned long long>(seed));
  Outcome out;
  sim::Run(seed, [&] { Scenario(out); });

  int completed = 0, cancelled = 0;
  bool allBack = true;
  for (const ReadResult& r : out.reads) {
    allBack &= r.completions == 1;
    completed += r.status == STATUS_SUCCESS;
    cancelled += r.status == STATUS_CANCELLED;
  }
  std::printf("counts at the end:\n");
  PrintCounts("korvfilt", out.filter);
  PrintCounts("korvdemo", out.device);
  std::printf("  requests alive after the application finished: %ld\n",
              static_cast<long>(out.liveRequests));
  bool ok = allBack && completed + cancelled == kReads && out.liveRequests == 0 &&
            NothingLeft(out.filter) && NothingLeft(out.device);
  std::printf("korvsim: %s: %d reads, %d completed, %d cancelled%s\n", ok ? "OK" : "FAILED", kReads,
              completed, cancelled, ok ? ", nothing leaked" : "");
  return ok ? 0 : 1;
}

}  // namespace korvsim

int main(int argc, char** argv) {
  uint64_t seed = 0;
  std::string scenario = "reader";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc) {
      char* end = nullptr;
      seed = std::strtoull(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0') return Usage(argv[0]);
    } else if (arg == "reader" || arg == "kernel") {
      scenario = arg;
    } else {
      return Usage(argv[0]);
    }
  }
  return scenario == "reader" ? korvsim::RunReaderScenario(seed) : korvsim::RunKernelDemo(seed);
}
