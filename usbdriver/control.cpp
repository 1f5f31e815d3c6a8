// The eight private device-control codes: control transfers, descriptors,
// status, and pipe and port resets. Every request completes here.
#include "usbdriver/korvusb.h"

namespace korvusb {
namespace {

struct ControlCall {
  PDEVICE_OBJECT fdo;
  KORVUSB_EXTENSION* ext;
  PIRP irp;
  PUCHAR buffer;  // the system buffer: input, then output
  ULONG in;
  ULONG out;
  ULONG_PTR information;
};

PURB NewUrb(USHORT size) {
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
  if (urb != nullptr) {
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = size;
  }
  return urb;
}

void FreeUrb(PURB urb) { ExFreePoolWithTag(urb, kPoolTag); }

// Only vendor and class requests share the request block this code fills;
// any other function would make the bus driver read it as something else.
bool IsVendorOrClassFunction(USHORT function) {
  return (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_CLASS_ENDPOINT) ||
         function == URB_FUNCTION_CLASS_OTHER || function == URB_FUNCTION_VENDOR_OTHER;
}

NTSTATUS IsReady(ControlCall& c) {
  if (c.out != sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  *reinterpret_cast<ULONG*>(c.buffer) = CanAcceptRequests(c.ext) ? 1 : 0;
  c.information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS GetDescriptor(ControlCall& c) {
  if (c.in != 4) return STATUS_INVALID_PARAMETER;
  UCHAR type = c.buffer[0];
  UCHAR index = c.buffer[1];
  if (type != USB_STRING_DESCRIPTOR_TYPE) {
    c.buffer[2] = 0;
    c.buffer[3] = 0;
  }
  USHORT language = static_cast<USHORT>(c.buffer[2] | (c.buffer[3] << 8));
  PURB urb = NewUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto& r = urb->UrbControlDescriptorRequest;
  r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  r.DescriptorType = type;
  r.Index = index;
  r.LanguageId = language;
  r.TransferBuffer = c.buffer;
  r.TransferBufferLength = c.out;
  NTSTATUS status = SubmitUrb(c.ext->LowerDevice, urb);
  // Never report more than the caller's output holds.
  c.information = r.TransferBufferLength < c.out ? r.TransferBufferLength : c.out;
  FreeUrb(urb);
  return status;
}

NTSTATUS ResetPipeOfHandle(ControlCall& c) {
  bool stale;
  KORVUSB_PIPE_ENTRY* entry =
      PipeOfHandle(c.ext, IoGetCurrentIrpStackLocation(c.irp)->FileObject, &stale);
  if (stale) return STATUS_INVALID_HANDLE;
  if (entry == nullptr) return STATUS_INVALID_PARAMETER;
  ResetPipe(c.ext->LowerDevice, entry->PipeInfo.PipeHandle);
  return STATUS_SUCCESS;
}

NTSTATUS GetStatus(ControlCall& c) {
  if (c.in != 4 || c.out != 2) return STATUS_INVALID_PARAMETER;
  USHORT recipient = static_cast<USHORT>(c.buffer[0] | (c.buffer[1] << 8));
  USHORT index = static_cast<USHORT>(c.buffer[2] | (c.buffer[3] << 8));
  static const USHORT kFunctions[] = {URB_FUNCTION_GET_STATUS_FROM_DEVICE,
                                      URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                      URB_FUNCTION_GET_STATUS_FROM_ENDPOINT};
  PURB urb = NewUrb(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto& r = urb->UrbControlGetStatusRequest;
  r.Hdr.Function = recipient < 3 ? kFunctions[recipient] : URB_FUNCTION_GET_STATUS_FROM_OTHER;
  r.Index = index;
  r.TransferBuffer = c.buffer;
  r.TransferBufferLength = 2;
  NTSTATUS status = SubmitUrb(c.ext->LowerDevice, urb);
  c.information = r.TransferBufferLength < 2 ? r.TransferBufferLength : 2;
  FreeUrb(urb);
  return status;
}

NTSTATUS ControlTransfer(ControlCall& c, bool in) {
  if (c.in < sizeof(KORVUSB_CONTROL_REQUEST)) return STATUS_INVALID_PARAMETER;
  auto* header = reinterpret_cast<PKORVUSB_CONTROL_REQUEST>(c.buffer);
  if (!IsVendorOrClassFunction(header->Function)) return STATUS_INVALID_PARAMETER;
  header->Index = static_cast<USHORT>(c.ext->InterfaceNumber);
  PURB urb = NewUrb(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto& r = urb->UrbControlVendorClassRequest;
  r.Hdr.Function = header->Function;
  r.TransferFlags = header->TransferFlags & USBD_SHORT_TRANSFER_OK;
  if (in) {
    r.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    r.TransferBuffer = c.buffer;
    r.TransferBufferLength = c.out;
  } else {
    r.TransferBuffer = c.buffer + sizeof(KORVUSB_CONTROL_REQUEST);
    r.TransferBufferLength = c.in - sizeof(KORVUSB_CONTROL_REQUEST);
  }
  r.RequestTypeReservedBits = header->RequestTypeReservedBits;
  r.Request = header->Request;
  r.Value = header->Value;
  r.Index = static_cast<USHORT>(c.ext->InterfaceNumber);
  NTSTATUS status = SubmitUrb(c.ext->LowerDevice, urb);
  FreeUrb(urb);
  if (in) {
    c.information = status == STATUS_SUCCESS ? c.out : 0;
  } else {
    c.information = c.in - sizeof(KORVUSB_CONTROL_REQUEST);
  }
  return status;
}

NTSTATUS GetConfigDescriptor(ControlCall& c) {
  PUSB_CONFIGURATION_DESCRIPTOR config = c.ext->ConfigurationDescriptor;
  if (config == nullptr) return STATUS_DEVICE_DATA_ERROR;
  if (c.out < config->wTotalLength) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(c.buffer, config, config->wTotalLength);
  c.information = config->wTotalLength;
  return STATUS_SUCCESS;
}

NTSTATUS Run(ControlCall& c, ULONG code) {
  switch (code) {
    case IOCTL_KORVUSB_IS_READY:
      return IsReady(c);
    case IOCTL_KORVUSB_GET_DESCRIPTOR:
      return GetDescriptor(c);
    case IOCTL_KORVUSB_RESET_PIPE:
      return ResetPipeOfHandle(c);
    case IOCTL_KORVUSB_RESET_PORT:
      return ResetPort(c.ext->LowerDevice);
    case IOCTL_KORVUSB_GET_STATUS:
      return GetStatus(c);
    case IOCTL_KORVUSB_CONTROL_OUT:
      return ControlTransfer(c, false);
    case IOCTL_KORVUSB_CONTROL_IN:
      return ControlTransfer(c, true);
    case IOCTL_KORVUSB_GET_CONFIG_DESCRIPTOR:
      return GetConfigDescriptor(c);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  AcquireIo(ext);
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ControlCall c{fdo,
                ext,
                irp,
                static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                s->Parameters.DeviceIoControl.InputBufferLength,
                s->Parameters.DeviceIoControl.OutputBufferLength,
                0};
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (CanAcceptRequests(ext)) status = Run(c, s->Parameters.DeviceIoControl.IoControlCode);
  // Refusals leave Information 0; each code that ran set what it reports.
  CompleteRequest(irp, status, c.information);
  ReleaseIo(ext);
  return status;
}

}  // namespace korvusb
