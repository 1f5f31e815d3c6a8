// Synchronous requests to the bus driver, and the pipe recovery built on
// them. Each call has its own request, event and status block.
#include "usbdriver/korvusb.h"

namespace korvusb {
namespace {

NTSTATUS SendInternal(PDEVICE_OBJECT lower, ULONG code, PURB urb) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (urb != nullptr) IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

NTSTATUS PipeRequest(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, USHORT function) {
  auto* urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), kPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = SubmitUrb(lower, urb);
  ExFreePoolWithTag(urb, kPoolTag);
  return status;
}

bool DeviceGoneOrCancelled(NTSTATUS status) {
  return status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
}

// One recovery pass: reset the pipe, and the port when that fails. Returns
// the status of the last reset made.
NTSTATUS RecoveryPass(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
  NTSTATUS status = ResetPipe(lower, pipe);
  if (!NT_SUCCESS(status)) status = ResetPort(lower);
  return status;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT lower, PURB urb) {
  return SendInternal(lower, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

NTSTATUS ResetPort(PDEVICE_OBJECT lower) {
  return SendInternal(lower, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

NTSTATUS AbortPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(lower, pipe, URB_FUNCTION_ABORT_PIPE);
}

NTSTATUS ResetPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(lower, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

void RecoverPipe(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe) {
  for (int pass = 0; pass < 3; ++pass) RecoveryPass(lower, pipe);
}

void RecoverPipeAfter(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, NTSTATUS status) {
  for (int pass = 0; pass < 3; ++pass) {
    if (DeviceGoneOrCancelled(status)) continue;
    status = RecoveryPass(lower, pipe);
  }
}

}  // namespace korvusb
