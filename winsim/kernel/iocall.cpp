// Passing requests down (IoCallDriver) and completing them back up
// (IoCompleteRequest), with the verifier's view of every step.
#include "winsim/kernel/internal.h"

namespace winsim::kernel {

void FinishThreadedIrp(PIRP irp);

namespace {

DriverRecord* DriverOfDevice(PDEVICE_OBJECT device) {
  return device ? RecordOf(device->DriverObject) : nullptr;
}

int Index(PIRP irp) { return irp->CurrentLocation - 1; }

// What the dispatch routine at a stack location has returned so far.
constexpr UCHAR kNotReturned = 0;
constexpr UCHAR kReturnedPending = 1;
constexpr UCHAR kReturnedOther = 2;

// Keeps a request's memory while a frame that still reads it is running.
struct Frame {
  explicit Frame(IrpRecord* rec) : rec_(rec) { rec_->callDepth++; }
  ~Frame() {
    if (--rec_->callDepth == 0 && rec_->freeDeferred) ReleaseIrp(IrpOf(rec_));
  }
  IrpRecord* rec_;
};

void CheckPendingReturn(PIRP irp, IrpRecord* rec, int index, ULONG generation, NTSTATUS status,
                        const char* driver) {
  if (rec->generation[index] != generation) return;  // location reused since
  PIO_STACK_LOCATION own = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + index;
  bool marked = rec->passed[index] ? rec->passedMarked[index] != 0
                                   : (own->Control & SL_PENDING_RETURNED) != 0;
  if (status == STATUS_PENDING) {
    if (rec->passed[index] && !marked) {
      Violation("IoCallDriver", irp,
                std::string(driver) + " returned STATUS_PENDING without IoMarkIrpPending");
    }
    rec->returnedPending[index] = kReturnedPending;
  } else if (marked) {
    Violation(
        "IoCallDriver", irp,
        std::string(driver) + " marked the request pending but returned status 0x" + [&] {
          char b[16];
          std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(status));
          return std::string(b);
        }());
  } else {
    rec->returnedPending[index] = kReturnedOther;
  }
}

// Records that completion passed `index`; whatever the dispatch routine
// there returned must agree with the location's pending mark by now. The
// fault is that dispatch routine's, not the completing driver's.
void PassLocation(PIRP irp, IrpRecord* rec, int index) {
  PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation;
  bool marked = (s->Control & SL_PENDING_RETURNED) != 0;
  rec->passed[index] = 1;
  rec->passedMarked[index] = marked;
  if (rec->returnedPending[index] == kReturnedPending && !marked) {
    Violation("IoCompleteRequest", irp,
              "the dispatch routine of " + DriverLabel(DriverOfDevice(s->DeviceObject)) +
                  " returned STATUS_PENDING without IoMarkIrpPending");
  }
  if (rec->returnedPending[index] == kReturnedOther && marked) {
    // Marked after its dispatch returned: a lower driver's pending return
    // passed up through it, or its completion routine marked it.
    Violation("IoCompleteRequest", irp,
              "the dispatch routine of " + DriverLabel(DriverOfDevice(s->DeviceObject)) +
                  " returned a status other than STATUS_PENDING, but the request was marked "
                  "pending at its stack location");
  }
  if (s->DeviceObject) RecordOf(s->DeviceObject)->requestsInside--;
}

bool ShouldInvoke(PIRP irp, UCHAR control) {
  NTSTATUS st = irp->IoStatus.Status;
  return (NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
         (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

// Calls the completion routine kept in the location just left. Returns false
// when the routine took the request back (STATUS_MORE_PROCESSING_REQUIRED).
bool InvokeRoutine(PIRP irp, IrpRecord* rec, PIO_COMPLETION_ROUTINE routine, PVOID context) {
  PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                             ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                             : nullptr;
  DriverRecord* driver = upper ? DriverOfDevice(upper) : rec->owner;
  rec->state = IrpState::kInRoutine;
  NTSTATUS st;
  {
    Frame frame(rec);
    DriverScope scope(driver);
    st = routine(upper, irp, context);
    if (st == STATUS_MORE_PROCESSING_REQUIRED) {
      if (rec->state == IrpState::kInRoutine) rec->state = IrpState::kHalted;
      return false;
    }
    if (rec->state != IrpState::kInRoutine || rec->freeDeferred) {
      Violation("IoCompleteRequest", irp,
                "a completion routine of " + DriverLabel(driver) +
                    " sent on, completed or freed the request but did not return "
                    "STATUS_MORE_PROCESSING_REQUIRED");
    }
  }
  rec->state = IrpState::kCompleting;
  return true;
}

}  // namespace
}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const char* call = "IoCallDriver";
  IrpRecord* rec = RecordOf(Irp, call);
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  if (DeviceObject == nullptr) Violation(call, Irp, "sent a request to a NULL device");
  if (DeviceGone(DeviceObject)) {
    Violation(call, Irp,
              "sent a request to a device object that is gone (deleted, nothing "
              "attached, no reference)");
  }
  if (rec->state == IrpState::kCompleting || rec->state == IrpState::kDone) {
    Violation(call, Irp, "sent a request that is being completed or is complete");
  }
  if (Irp->CurrentLocation <= 1) {
    Violation(call, Irp,
              "sent a request with no stack location left for " +
                  DriverLabel(DriverOfDevice(DeviceObject)));
  }
  SchedulePoint();
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION s = Irp->Tail.Overlay.CurrentStackLocation;
  if (s->DeviceObject && Index(Irp) < Irp->StackCount && !rec->passed[Index(Irp)] &&
      rec->generation[Index(Irp)] != 0) {
    // The location was skipped back by the driver above: it gave the request away.
    RecordOf(s->DeviceObject)->requestsInside--;
  }
  s->DeviceObject = DeviceObject;
  RecordOf(DeviceObject)->requestsInside++;
  int index = Index(Irp);
  ULONG generation = ++rec->nextGeneration;
  rec->generation[index] = generation;
  rec->returnedPending[index] = kNotReturned;
  rec->passed[index] = 0;
  rec->state = IrpState::kDispatched;
  DriverRecord* driver = DriverOfDevice(DeviceObject);
  NTSTATUS status;
  {
    Frame frame(rec);
    // Checked in the callee's scope: a wrong return is its fault, and the
    // report names it.
    DriverScope scope(driver);
    status = DeviceObject->DriverObject->MajorFunction[s->MajorFunction](DeviceObject, Irp);
    CheckPendingReturn(Irp, rec, index, generation, status, DriverLabel(driver).c_str());
  }
  return status;
}

VOID IoCompleteRequest(PIRP Irp, CCHAR) {
  const char* call = "IoCompleteRequest";
  IrpRecord* rec = RecordOf(Irp, call);
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  if (rec->state == IrpState::kCompleting || rec->state == IrpState::kDone) {
    Violation(call, Irp, "completed a request twice");
  }
  if (rec->state == IrpState::kIdle) Violation(call, Irp, "completed a request never sent");
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Violation(call, Irp, "completed a request with STATUS_PENDING");
  }
  if (Irp->CancelRoutine != nullptr) {
    Violation(call, Irp, "completed a request whose cancel routine is still set");
  }
  SchedulePoint();
  rec->state = IrpState::kCompleting;
  Frame frame(rec);
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION s = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->PendingReturned = (s->Control & SL_PENDING_RETURNED) != 0;
    PassLocation(Irp, rec, Index(Irp));
    PIO_COMPLETION_ROUTINE routine = s->CompletionRoutine;
    PVOID context = s->Context;
    bool invoke = routine != nullptr && ShouldInvoke(Irp, s->Control);
    s->CompletionRoutine = nullptr;
    s->Context = nullptr;
    s->Control = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    if (invoke) {
      if (!InvokeRoutine(Irp, rec, routine, context)) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    }
  }
  if (rec->threaded) {
    FinishThreadedIrp(Irp);
  } else if (rec->finish != nullptr) {
    rec->state = IrpState::kDone;
    rec->finish(Irp, rec->finishContext);
  } else {
    Violation(call, Irp,
              "a request allocated by " + DriverLabel(rec->owner) +
                  " reached the I/O manager: its completion routine must return "
                  "STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
}

VOID IoMarkIrpPending(PIRP Irp) {
  const char* call = "IoMarkIrpPending";
  IrpRecord* rec = RecordOf(Irp, call);
  if (rec->state != IrpState::kDispatched && rec->state != IrpState::kInRoutine) {
    Violation(call, Irp, "marked a request that no driver holds");
  }
  // The completion routine of the driver that allocated the request has no
  // stack location to mark; on Windows the write lands past the request.
  if (Irp->CurrentLocation > Irp->StackCount) {
    Violation(call, Irp,
              "marked a request that has no stack location for the caller "
              "(a completion routine of the driver that allocated it)");
  }
  Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IoCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP) {}
