// Plug and Play: the state machine, the start sequence that reads the
// descriptors and selects the configuration, and the stop that undoes it.
#include "usbdriver/korvusb.h"

namespace korvusb {
namespace {

constexpr ULONG kDescriptorHeader = 9;  // a configuration or interface descriptor

void* Allocate(SIZE_T bytes) { return ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag); }
void Free(void* p) { ExFreePoolWithTag(p, kPoolTag); }

// Reads one descriptor from the device into `buffer`; `received` is the
// length the bus driver reports.
NTSTATUS ReadDescriptor(KORVUSB_EXTENSION* ext, UCHAR type, void* buffer, ULONG length,
                        ULONG* received) {
  auto* urb = static_cast<PURB>(Allocate(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbControlDescriptorRequest.DescriptorType = type;
  urb->UrbControlDescriptorRequest.Index = 0;
  urb->UrbControlDescriptorRequest.LanguageId = 0;
  urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb->UrbControlDescriptorRequest.TransferBufferLength = length;
  NTSTATUS status = SubmitUrb(ext->LowerDevice, urb);
  *received = urb->UrbControlDescriptorRequest.TransferBufferLength;
  Free(urb);
  return status;
}

// A device may send anything: the configuration is used only when the
// bytes received hold all that wTotalLength claims and every descriptor in
// it lies inside wTotalLength.
bool ConfigurationIsSound(const PUSB_CONFIGURATION_DESCRIPTOR config, ULONG received) {
  if (received < kDescriptorHeader) return false;
  ULONG total = config->wTotalLength;
  if (total < kDescriptorHeader || total > received) return false;
  const auto* bytes = reinterpret_cast<const UCHAR*>(config);
  for (ULONG offset = 0; offset < total;) {
    if (total - offset < 2) return false;
    ULONG length = bytes[offset];
    UCHAR type = bytes[offset + 1];
    if (length < 2 || length > total - offset) return false;
    // The parser and the bus read whole records of these types.
    if ((type == USB_CONFIGURATION_DESCRIPTOR_TYPE || type == USB_INTERFACE_DESCRIPTOR_TYPE) &&
        length < kDescriptorHeader) {
      return false;
    }
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      return false;
    }
    offset += length;
  }
  return true;
}

NTSTATUS ReadConfiguration(KORVUSB_EXTENSION* ext) {
  ULONG size = kFirstConfigurationRead;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(Allocate(size));
    if (config == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG received = 0;
    NTSTATUS status = ReadDescriptor(ext, USB_CONFIGURATION_DESCRIPTOR_TYPE, config, size, &received);
    if (NT_SUCCESS(status) && received >= kDescriptorHeader && attempt == 0 &&
        config->wTotalLength > size) {
      size = config->wTotalLength;
      Free(config);
      continue;
    }
    if (NT_SUCCESS(status) && !ConfigurationIsSound(config, received < size ? received : size)) {
      status = STATUS_DEVICE_DATA_ERROR;
    }
    if (!NT_SUCCESS(status)) {
      Free(config);
      return status;
    }
    ext->ConfigurationDescriptor = config;
    return STATUS_SUCCESS;
  }
  return STATUS_DEVICE_DATA_ERROR;  // the second answer still claimed more than it sent
}

void FreeTables(KORVUSB_EXTENSION* ext) {
  if (ext->Interfaces != nullptr) {
    for (ULONG i = 0; i < ext->InterfaceCount; ++i) {
      if (ext->Interfaces[i].Pipes != nullptr) Free(ext->Interfaces[i].Pipes);
    }
    Free(ext->Interfaces);
  }
  ext->Interfaces = nullptr;
  ext->InterfaceCount = 0;
}

NTSTATUS BuildTables(KORVUSB_EXTENSION* ext, const USBD_INTERFACE_LIST_ENTRY* list, ULONG count) {
  ext->Interfaces =
      static_cast<KORVUSB_INTERFACE_ENTRY*>(Allocate(count * sizeof(KORVUSB_INTERFACE_ENTRY)));
  if (ext->Interfaces == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(ext->Interfaces, count * sizeof(KORVUSB_INTERFACE_ENTRY));
  ext->InterfaceCount = count;
  for (ULONG i = 0; i < count; ++i) {
    const USBD_INTERFACE_INFORMATION* info = list[i].Interface;
    KORVUSB_INTERFACE_ENTRY& entry = ext->Interfaces[i];
    if (info->NumberOfPipes == 0) continue;
    entry.Pipes =
        static_cast<KORVUSB_PIPE_ENTRY*>(Allocate(info->NumberOfPipes * sizeof(KORVUSB_PIPE_ENTRY)));
    if (entry.Pipes == nullptr) {
      FreeTables(ext);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    entry.PipeCount = info->NumberOfPipes;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      entry.Pipes[p].OpenCount = 0;
      entry.Pipes[p].PipeInfo = info->Pipes[p];
    }
  }
  return STATUS_SUCCESS;
}

void Unconfigure(KORVUSB_EXTENSION* ext) {
  auto* urb = static_cast<PURB>(Allocate(sizeof(struct _URB_SELECT_CONFIGURATION)));
  if (urb == nullptr) return;
  RtlZeroMemory(urb, sizeof(struct _URB_SELECT_CONFIGURATION));
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
  SubmitUrb(ext->LowerDevice, urb);
  Free(urb);
}

NTSTATUS PassDown(KORVUSB_EXTENSION* ext, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
  ReleaseIo(ext);
  return status;
}

// Removal and surprise removal both give up the dispatch's reference, close
// the door and release the pipes, leaving the configuration alone.
KORVUSB_EXTENSION* MarkRemoved(PDEVICE_OBJECT fdo) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ReleaseIo(ext);
  ext->Removed = TRUE;
  if (ext->Started) StopDevice(fdo, false);
  return ext;
}

NTSTATUS HandleRemove(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = MarkRemoved(fdo);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(ext->LowerDevice, irp);
  ReleaseIo(ext);
  KeWaitForSingleObject(&ext->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, ext->InterfaceLinkName);
  IoSetDeviceInterfaceState(&link, FALSE);
  IoDetachDevice(ext->LowerDevice);
  IoDeleteDevice(fdo);
  return status;
}

NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = MarkRemoved(fdo);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->LowerDevice, irp);
}

NTSTATUS HandleStart(PDEVICE_OBJECT fdo, PIRP irp) {
  NTSTATUS status = ForwardAndWait(fdo, irp);
  if (NT_SUCCESS(status)) status = StartDevice(fdo);
  CompleteRequest(irp, status, irp->IoStatus.Information);
  ReleaseIo(ExtensionOf(fdo));
  return status;
}

NTSTATUS HandleCapabilities(PDEVICE_OBJECT fdo, PIRP irp) {
  PDEVICE_CAPABILITIES caps =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  caps->SurpriseRemovalOK = TRUE;
  NTSTATUS status = ForwardAndWait(fdo, irp);
  if (NT_SUCCESS(status)) caps->SurpriseRemovalOK = TRUE;
  CompleteRequest(irp, status, 0);
  ReleaseIo(ExtensionOf(fdo));
  return status;
}

NTSTATUS HandleQueryRemove(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ext->RemovePending = TRUE;
  ReleaseIo(ext);
  KeWaitForSingleObject(&ext->NoPendingIoEvent, Executive, KernelMode, FALSE, nullptr);
  AcquireIo(ext);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(ext, irp);
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  AcquireIo(ext);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return HandleStart(fdo, irp);
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemove(fdo, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return HandleSurpriseRemoval(fdo, irp);
    case IRP_MN_STOP_DEVICE:
      StopDevice(fdo, true);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(ext, irp);
    default:
      break;
  }
  if (!ext->Started) return PassDown(ext, irp);
  switch (minor) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return HandleQueryRemove(fdo, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      ext->RemovePending = FALSE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      ext->StopPending = TRUE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      ext->StopPending = FALSE;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      return HandleCapabilities(fdo, irp);
    default:
      break;
  }
  return PassDown(ext, irp);
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  auto* device = static_cast<PUSB_DEVICE_DESCRIPTOR>(Allocate(sizeof(USB_DEVICE_DESCRIPTOR)));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(ext, USB_DEVICE_DESCRIPTOR_TYPE, device,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (!NT_SUCCESS(status)) {
    Free(device);
    return status;
  }
  ext->DeviceDescriptor = device;
  status = ReadConfiguration(ext);
  if (NT_SUCCESS(status)) status = SelectConfiguration(fdo, ext->ConfigurationDescriptor);
  if (!NT_SUCCESS(status)) {
    // Nothing of a failed start stays behind for the next one.
    if (ext->ConfigurationDescriptor != nullptr) Free(ext->ConfigurationDescriptor);
    ext->ConfigurationDescriptor = nullptr;
    Free(ext->DeviceDescriptor);
    ext->DeviceDescriptor = nullptr;
    return status;
  }
  ext->TableGeneration++;
  ext->Started = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT fdo, PUSB_CONFIGURATION_DESCRIPTOR config) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  ULONG wanted = config->bNumInterfaces;
  SIZE_T listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(Allocate(listBytes));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, listBytes);
  ULONG found = 0;
  PVOID start = config;
  while (found < wanted) {
    PUSB_INTERFACE_DESCRIPTOR hit =
        USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (hit == nullptr) break;
    list[found++].InterfaceDescriptor = hit;
    ext->InterfaceNumber = hit->bInterfaceNumber;
    start = reinterpret_cast<PUCHAR>(hit) + kDescriptorHeader;
  }
  if (found == 0) {
    Free(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  if (urb == nullptr) {
    Free(list);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (ULONG i = 0; i < found; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) info->Pipes[p].MaximumTransferSize = ext->StageSize;
  }
  NTSTATUS status = SubmitUrb(ext->LowerDevice, urb);
  if (NT_SUCCESS(status)) {
    ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    status = BuildTables(ext, list, found);
  }
  ExFreePool(urb);
  Free(list);
  return status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT fdo, bool unconfigure) {
  KORVUSB_EXTENSION* ext = ExtensionOf(fdo);
  for (ULONG i = 0; i < ext->InterfaceCount; ++i) {
    KORVUSB_INTERFACE_ENTRY& entry = ext->Interfaces[i];
    for (ULONG p = 0; p < entry.PipeCount; ++p) {
      if (entry.Pipes[p].OpenCount == 0) continue;
      NTSTATUS status = AbortPipe(ext->LowerDevice, entry.Pipes[p].PipeInfo.PipeHandle);
      if (NT_SUCCESS(status)) entry.Pipes[p].OpenCount = 0;
      if (status == STATUS_SUCCESS) ext->OpenPipeCount--;
    }
  }
  if (unconfigure) Unconfigure(ext);
  if (ext->DeviceDescriptor != nullptr) Free(ext->DeviceDescriptor);
  ext->DeviceDescriptor = nullptr;
  FreeTables(ext);
  if (ext->ConfigurationDescriptor != nullptr) Free(ext->ConfigurationDescriptor);
  ext->ConfigurationDescriptor = nullptr;
  // Handles opened on the table just released must not find it again.
  ext->TableGeneration++;
  ext->Started = FALSE;
  ext->StopPending = FALSE;
  return STATUS_SUCCESS;
}

}  // namespace korvusb
