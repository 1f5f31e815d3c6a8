// Cancellation: cancel routines and IoCancelIrp, under the cancel spin lock.
#include "winsim/kernel/internal.h"

using namespace winsim::kernel;

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  RecordOf(Irp);
  SchedulePoint();
  PDRIVER_CANCEL old = Irp->CancelRoutine;
  Irp->CancelRoutine = CancelRoutine;
  return old;
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  const char* call = "IoCancelIrp";
  IrpRecord* rec = RecordOf(Irp);
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = Irp->CancelRoutine;
  Irp->CancelRoutine = nullptr;
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (rec->state != IrpState::kDispatched) {
    Violation(call, Irp, "a cancel routine was set on a request no driver holds");
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
  {
    DriverScope scope(device ? RecordOf(device->DriverObject) : nullptr);
    routine(device, Irp);
  }
  if (HoldsCancelLock()) {
    Violation(call, nullptr, "a cancel routine returned without releasing the cancel spin lock");
  }
  return TRUE;
}
