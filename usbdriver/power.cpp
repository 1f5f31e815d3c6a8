// Power policy: system transitions mapped to device states, the idle policy
// that lowers the device while no pipe is open, and wait-wake forwarding.
#include "usbdriver/korvusb.h"

namespace korvusb {
namespace {

bool IsLowPower(DEVICE_POWER_STATE state) {
  return state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3;
}

VOID SelfPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context,
                       PIO_STATUS_BLOCK) {
  KORVUSB_EXTENSION* ext = ExtensionOf(static_cast<PDEVICE_OBJECT>(context));
  if (state.DeviceState < ext->PowerDownState) {
    KeSetEvent(&ext->SelfPowerEvent, IO_NO_INCREMENT, FALSE);
  }
  ReleaseIo(ext);
}

NTSTATUS PassPowerDown(KORVUSB_EXTENSION* ext, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  NTSTATUS status = PoCallDriver(ext->LowerDevice, irp);
  ReleaseIo(ext);
  return status;
}

// The held system request goes down once the device has its new state. It
// is taken out of the extension before it is passed on, so that a system
// request arriving meanwhile is never overwritten.
void SendHeldSystemRequest(KORVUSB_EXTENSION* ext) {
  auto* irp = static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingSystemPowerIrp),
                                 nullptr));
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  PoCallDriver(ext->LowerDevice, irp);
  ReleaseIo(ext);
}

VOID SystemPowerDeviceComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                               PIO_STATUS_BLOCK) {
  SendHeldSystemRequest(ExtensionOf(static_cast<PDEVICE_OBJECT>(context)));
}

NTSTATUS PowerUpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  KORVUSB_EXTENSION* ext = ExtensionOf(static_cast<PDEVICE_OBJECT>(context));
  ext->DevicePowerState = PowerDeviceD0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  ReleaseIo(ext);
  return STATUS_SUCCESS;
}

NTSTATUS HandleWaitWake(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ext->PowerDownState = ext->Capabilities.DeviceWake;
  if (ext->DevicePowerState == PowerDeviceD0 ||
      static_cast<LONG>(ext->Capabilities.DeviceWake) > static_cast<LONG>(ext->DevicePowerState)) {
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
    ReleaseIo(ext);
    return STATUS_INVALID_DEVICE_STATE;
  }
  ext->WaitWakeActive = TRUE;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndHold, &done, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  if (PoCallDriver(ext->LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  IdlePowerCheck(fdo, IdleCheck::kHandleOpened);
  ext->WaitWakeActive = FALSE;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseIo(ext);
  return status;
}

NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  DEVICE_POWER_STATE wanted = PowerDeviceD0;
  if (system != PowerSystemWorking) {
    wanted = ext->WaitWakeActive && system < PowerSystemMaximum
                 ? ext->Capabilities.DeviceState[system]
                 : PowerDeviceD3;
  }
  if (wanted == ext->DevicePowerState) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = PoCallDriver(ext->LowerDevice, irp);
    ReleaseIo(ext);
    return status;
  }
  ext->PendingSystemPowerIrp = irp;
  IoMarkIrpPending(irp);
  POWER_STATE state;
  state.DeviceState = wanted;
  NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, state,
                                      SystemPowerDeviceComplete, fdo, nullptr);
  if (status != STATUS_PENDING) {
    // Without a device request nothing would ever send the system request on.
    SendHeldSystemRequest(ext);
  }
  return STATUS_PENDING;
}

NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  if (state != PowerDeviceD0) {
    if (IsLowPower(state)) ext->DevicePowerState = state;
    return PassPowerDown(ext, irp);
  }
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, PowerUpComplete, fdo, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(ext->LowerDevice, irp);
}

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  AcquireIo(ext);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  if (s->MinorFunction == IRP_MN_WAIT_WAKE) return HandleWaitWake(fdo, irp);
  if (s->MinorFunction == IRP_MN_SET_POWER) {
    if (s->Parameters.Power.Type == SystemPowerState) return HandleSystemSetPower(fdo, irp);
    if (s->Parameters.Power.Type == DevicePowerState) return HandleDeviceSetPower(fdo, irp);
  }
  return PassPowerDown(ext, irp);
}

NTSTATUS IdlePowerCheck(PDEVICE_OBJECT fdo, IdleCheck form) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  if (!CanAcceptRequests(ext)) return STATUS_DELETE_PENDING;
  if (ext->PendingSystemPowerIrp != nullptr || ext->SelfPowerRequestActive) return STATUS_SUCCESS;
  bool opened = form == IdleCheck::kHandleOpened;
  if (opened ? ext->OpenPipeCount == 0 : ext->OpenPipeCount != 0) return STATUS_SUCCESS;
  if (!IsLowPower(ext->PowerDownState)) return STATUS_SUCCESS;
  return RequestDevicePower(fdo, opened ? PowerDeviceD0 : ext->PowerDownState);
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE state) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  if (state == ext->DevicePowerState) return STATUS_SUCCESS;
  AcquireIo(ext);
  ext->SelfPowerRequestActive = TRUE;
  bool raising = state < ext->PowerDownState;
  // Cleared before every power-up, so each one is really waited for.
  if (raising) KeClearEvent(&ext->SelfPowerEvent);
  POWER_STATE requested;
  requested.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDevice, IRP_MN_SET_POWER, requested,
                                      SelfPowerComplete, fdo, nullptr);
  if (status != STATUS_PENDING) {
    ReleaseIo(ext);
    ext->SelfPowerRequestActive = FALSE;
    return status;
  }
  if (raising) KeWaitForSingleObject(&ext->SelfPowerEvent, Executive, KernelMode, FALSE, nullptr);
  ext->SelfPowerRequestActive = FALSE;
  return STATUS_SUCCESS;
}

}  // namespace korvusb
