// Requests: allocation, the I/O manager's request builders, reuse and free.
#include <cstring>
#include <new>

#include "winsim/kernel/internal.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {
namespace {

constexpr CSHORT kIrpType = 6;
constexpr ULONG kFreedMagic = 0x44455246;  // "FRED"
IrpRecord* g_irps = nullptr;

// Freed requests wait here a while before going back to the host, so that a
// late touch (a second completion from another thread, a second free) is
// reported as such instead of reading freed memory.
constexpr size_t kQuarantine = 64;
IrpRecord* g_quarantine[kQuarantine];
size_t g_quarantineNext = 0;

void Release(IrpRecord* rec) {
  if (rec == nullptr) return;
  rec->~IrpRecord();
  KernelFree(rec);
}

PIRP Build(CCHAR stackSize, DriverRecord* owner) {
  SIZE_T bytes = sizeof(IrpRecord) + IoSizeOfIrp(stackSize);
  void* block = KernelAlloc(bytes);
  auto* rec = new (block) IrpRecord{};
  rec->owner = owner;
  rec->returnedPending.assign(stackSize, 0);
  rec->passed.assign(stackSize, 0);
  rec->passedMarked.assign(stackSize, 0);
  rec->generation.assign(stackSize, 0);
  rec->next = g_irps;
  if (g_irps) g_irps->prev = rec;
  g_irps = rec;
  if (owner) owner->irps++;
  PIRP irp = IrpOf(rec);
  irp->Type = kIrpType;
  irp->Size = IoSizeOfIrp(stackSize);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
  return irp;
}

void Destroy(IrpRecord* rec) {
  if (rec->prev) rec->prev->next = rec->next;
  if (rec->next) rec->next->prev = rec->prev;
  if (g_irps == rec) g_irps = rec->next;
  if (rec->owner) rec->owner->irps--;
  rec->magic = kFreedMagic;
  Release(g_quarantine[g_quarantineNext]);
  g_quarantine[g_quarantineNext] = rec;
  g_quarantineNext = (g_quarantineNext + 1) % kQuarantine;
}

PVOID CopyOfInput(PVOID input, ULONG inputLength, ULONG size) {
  auto* buffer = static_cast<UCHAR*>(KernelAlloc(size));
  if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
  return buffer;
}

// A locked MDL for a caller's buffer, as the I/O manager builds for direct I/O.
void AttachMdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  MmProbeAndLockPages(mdl, KernelMode, operation);
}

PIRP NewThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = Build(device->StackSize, CurrentDriver());
  IrpRecord* rec = RecordOf(irp);
  rec->threaded = true;
  rec->event = event;
  rec->iosb = iosb;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

}  // namespace

PIRP AllocateSystemIrp(CCHAR stackSize, void (*finish)(PIRP, void*), void* context) {
  PIRP irp = Build(stackSize, nullptr);
  RecordOf(irp)->finish = finish;
  RecordOf(irp)->finishContext = context;
  return irp;
}

PIRP IrpOf(IrpRecord* record) { return reinterpret_cast<PIRP>(record + 1); }

IrpRecord* RecordOf(PIRP irp, const char* call) {
  if (irp == nullptr) Violation(call, nullptr, "NULL request");
  auto* rec = reinterpret_cast<IrpRecord*>(irp) - 1;
  if (rec->magic == kFreedMagic) {
    Violation(call, irp,
              "used a request that was already freed (by IoFreeIrp, or by the I/O "
              "manager when its completion ended)");
  }
  if (rec->magic != IrpRecord::kMagic) {
    Violation(call, nullptr, "not a live request (freed, or never allocated)");
  }
  return rec;
}

void ReleaseIrp(PIRP irp) {
  IrpRecord* rec = RecordOf(irp);
  if (rec->callDepth > 0) {
    rec->freeDeferred = true;
    return;
  }
  Destroy(rec);
}

// Ends a threaded request the way the I/O manager does: status to the
// caller's block, buffers copied back and freed, the event set, the request
// freed.
void ReleaseIoBuffers(PIRP irp, void* copyTo, ULONG copyLength) {
  if (copyTo != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
    ULONG_PTR information = irp->IoStatus.Information;
    ULONG n = information < copyLength ? static_cast<ULONG>(information) : copyLength;
    std::memcpy(copyTo, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->Flags & IRP_DEALLOCATE_BUFFER) KernelFree(irp->AssociatedIrp.SystemBuffer);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  while (PMDL mdl = irp->MdlAddress) {
    irp->MdlAddress = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
}

void FinishThreadedIrp(PIRP irp) {
  IrpRecord* rec = RecordOf(irp);
  ReleaseIoBuffers(irp, rec->bufferedCopyOut ? irp->UserBuffer : nullptr, rec->copyOutLength);
  if (rec->iosb) *rec->iosb = irp->IoStatus;
  PKEVENT event = rec->event;
  rec->state = IrpState::kDone;
  ReleaseIrp(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void ResetIoState() {
  while (g_irps) Destroy(g_irps);
  for (IrpRecord*& rec : g_quarantine) {
    Release(rec);
    rec = nullptr;
  }
  g_quarantineNext = 0;
}

LONG LiveIrps() {
  LONG n = 0;
  for (IrpRecord* r = g_irps; r; r = r->next) ++n;
  return n;
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

USHORT IoSizeOfIrp(CCHAR StackSize) {
  return static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  RequireIrqlAtMost("IoAllocateIrp", DISPATCH_LEVEL);
  if (StackSize < 1) {
    Violation("IoAllocateIrp", nullptr, "a request needs at least one stack location");
  }
  SchedulePoint();
  return Build(StackSize, CurrentDriver());
}

VOID IoFreeIrp(PIRP Irp) {
  const char* call = "IoFreeIrp";
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  IrpRecord* rec = RecordOf(Irp, call);
  if (rec->threaded) {
    Violation(call, Irp, "freed a request built for a thread; the I/O manager frees it");
  }
  if (rec->freeDeferred) Violation(call, Irp, "freed a request twice");
  if (rec->state == IrpState::kDispatched || rec->state == IrpState::kCompleting) {
    Violation(call, Irp, "freed a request that is still inside a driver");
  }
  if (Irp->CancelRoutine != nullptr) {
    Violation(call, Irp, "freed a request that still has a cancel routine");
  }
  ReleaseIrp(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  IrpRecord* rec = RecordOf(Irp, "IoReuseIrp");
  if (rec->state == IrpState::kDispatched || rec->state == IrpState::kCompleting) {
    Violation("IoReuseIrp", Irp, "reused a request that is still inside a driver");
  }
  if (Irp->CancelRoutine != nullptr) {
    Violation("IoReuseIrp", Irp, "reused a request that still has a cancel routine");
  }
  CCHAR count = Irp->StackCount;
  std::memset(Irp, 0, IoSizeOfIrp(count));
  Irp->Type = 6;
  Irp->Size = IoSizeOfIrp(count);
  Irp->StackCount = count;
  Irp->CurrentLocation = static_cast<CHAR>(count + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + count;
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->IoStatus.Status = Status;
  rec->state = IrpState::kIdle;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
  SchedulePoint();
  PIRP irp = NewThreadedIrp(DeviceObject, Event, IoStatusBlock);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (size != 0) {
        irp->AssociatedIrp.SystemBuffer = CopyOfInput(InputBuffer, InputBufferLength, size);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        irp->Flags |= IRP_INPUT_OPERATION;
        irp->UserBuffer = OutputBuffer;
        RecordOf(irp)->bufferedCopyOut = true;
        RecordOf(irp)->copyOutLength = OutputBufferLength;
      }
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength != 0) {
        irp->AssociatedIrp.SystemBuffer =
            CopyOfInput(InputBuffer, InputBufferLength, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        AttachMdl(
            irp, OutputBuffer, OutputBufferLength,
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      }
      break;
    default:  // METHOD_NEITHER
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
}

static PIRP BuildFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                            ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                            PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = NewThreadedIrp(DeviceObject, Event, IoStatusBlock);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE) return irp;
  next->Parameters.Read.Length = Length;
  if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
  bool read = MajorFunction == IRP_MJ_READ;
  if (DeviceObject->Flags & DO_BUFFERED_IO) {
    irp->AssociatedIrp.SystemBuffer = CopyOfInput(read ? nullptr : Buffer, Length, Length);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (read ? IRP_INPUT_OPERATION : 0);
    if (read) {
      irp->UserBuffer = Buffer;
      RecordOf(irp)->bufferedCopyOut = true;
      RecordOf(irp)->copyOutLength = Length;
    }
  } else if (DeviceObject->Flags & DO_DIRECT_IO) {
    if (Length != 0) AttachMdl(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess);
  } else {
    irp->UserBuffer = Buffer;
  }
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
  SchedulePoint();
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, Event,
                         IoStatusBlock);
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                   ULONG Length, PLARGE_INTEGER StartingOffset,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost("IoBuildAsynchronousFsdRequest", DISPATCH_LEVEL);
  SchedulePoint();
  PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, nullptr,
                             IoStatusBlock);
  // Asynchronous requests are the caller's to free from its completion routine.
  RecordOf(irp)->threaded = false;
  return irp;
}
