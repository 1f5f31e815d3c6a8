// Cancellation: cancel routines and IoCancelIrp, under the cancel spin lock.
#include "winsim/kernel/internal.h"

using namespace winsim::kernel;

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  RecordOf(Irp, "IoSetCancelRoutine");
  SchedulePoint();
  PDRIVER_CANCEL old = Irp->CancelRoutine;
  Irp->CancelRoutine = CancelRoutine;
  return old;
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  const char* call = "IoCancelIrp";
  IrpRecord* rec = RecordOf(Irp, call);
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  // Taking the routine is a step of its own, as on a multiprocessor: a driver
  // may set its routine between the flag and the exchange, then find Cancel
  // set and its routine already taken.
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
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
