// The power manager: power requests built for drivers (PoRequestPowerIrp),
// delivered at PASSIVE_LEVEL from worker threads, device power states as
// drivers declare them, and system transitions.
#include "winsim/kernel/internal.h"
#include "winsim/kernel/pnp.h"

namespace winsim::kernel {
namespace {

struct PowerRequest {
  PDEVICE_OBJECT requester;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE complete;
  PVOID context;
  DriverRecord* driver;
};

ULONG g_workers = 0;
NTSTATUS g_failNextRequest = STATUS_SUCCESS;

// Each power request is dispatched by a worker of its own at PASSIVE_LEVEL, as
// the system's worker threads do for pageable stacks; a driver that holds a
// request in its dispatch routine (wait-wake) then blocks only that worker.
void Queue(PDEVICE_OBJECT target, PIRP irp) {
  host::Spawn("power worker " + std::to_string(++g_workers), host::ThreadKind::kService,
              [target, irp] { IoCallDriver(target, irp); });
}

void FinishRequested(PIRP irp, void* context) {
  auto* request = static_cast<PowerRequest*>(context);
  if (request->complete != nullptr) {
    IO_STATUS_BLOCK status = irp->IoStatus;
    DriverScope scope(request->driver);
    request->complete(request->requester, request->minor, request->state, request->context,
                      &status);
  }
  delete request;
  ReleaseIrp(irp);
}

PIRP BuildPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   void (*finish)(PIRP, void*), void* context) {
  PIRP irp = AllocateSystemIrp(top->StackSize, finish, context);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MajorFunction = IRP_MJ_POWER;
  s->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    s->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    s->Parameters.Power.Type = type;
    s->Parameters.Power.State = state;
    s->Parameters.Power.ShutdownType =
        type == SystemPowerState && state.SystemState != PowerSystemWorking ? PowerActionSleep
                                                                            : PowerActionNone;
  }
  return irp;
}

struct Waiter {
  KEVENT done;
  NTSTATUS status;
};

void FinishSystem(PIRP irp, void* context) {
  auto* w = static_cast<Waiter*>(context);
  w->status = irp->IoStatus.Status;
  ReleaseIrp(irp);
  KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS SendSystemRequest(PDEVICE_OBJECT top, UCHAR minor, SYSTEM_POWER_STATE state) {
  Waiter w;
  KeInitializeEvent(&w.done, NotificationEvent, FALSE);
  POWER_STATE ps;
  ps.SystemState = state;
  Queue(top, BuildPowerIrp(top, minor, SystemPowerState, ps, FinishSystem, &w));
  KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, nullptr);
  return w.status;
}

}  // namespace

DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device) {
  return RecordOf(device)->powerState;
}

void ResetPower() {
  g_workers = 0;
  g_failNextRequest = STATUS_SUCCESS;
}

void FailNextPowerRequest(NTSTATUS status) { g_failNextRequest = status; }

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
  RequireIrqlAtMost("SetSystemPowerState", PASSIVE_LEVEL);
  std::vector<PDEVICE_OBJECT> tops;
  for (DeviceNode* node : DeviceNodes()) {
    if (StateOf(node) == DeviceState::kStarted) tops.push_back(TopOfStack(node));
  }
  if (state != PowerSystemWorking) {
    for (PDEVICE_OBJECT top : tops) {
      NTSTATUS status = SendSystemRequest(top, IRP_MN_QUERY_POWER, state);
      if (!NT_SUCCESS(status)) return status;
    }
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (PDEVICE_OBJECT top : tops) {
    NTSTATUS status = SendSystemRequest(top, IRP_MN_SET_POWER, state);
    if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
  }
  return result;
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost("PoRequestPowerIrp", DISPATCH_LEVEL);
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (!NT_SUCCESS(g_failNextRequest)) {
    NTSTATUS status = g_failNextRequest;
    g_failNextRequest = STATUS_SUCCESS;
    return status;
  }
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  auto* request = new PowerRequest{DeviceObject,       MinorFunction, PowerState,
                                   CompletionFunction, Context,       CurrentDriver()};
  PIRP irp =
      BuildPowerIrp(top, MinorFunction, DevicePowerState, PowerState, FinishRequested, request);
  if (Irp != nullptr) *Irp = irp;
  Queue(top, irp);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE old;
  old.DeviceState = RecordOf(DeviceObject)->powerState;
  if (Type == DevicePowerState) RecordOf(DeviceObject)->powerState = State.DeviceState;
  return old;
}
