#include "function_driver.h"

#include <algorithm>
#include <cstring>

namespace usbtest {

namespace wk = winsim::kernel;

namespace {

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<InFlight*>(context);
  r->io = irp->IoStatus;
  r->irql = KeGetCurrentIrql();
  r->thread = winsim::host::Current();
  r->completed = true;
  KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Guard bytes on both sides of a transfer window seen through an MDL.
constexpr size_t kGuard = 7;

}  // namespace

FunctionDriver::FunctionDriver(PDEVICE_OBJECT pdo) {
  driver_ = wk::LoadDriver(L"usbtest", Entry);
  wk::AsDriver(driver_, [&] {
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
  });
}

FunctionDriver::~FunctionDriver() {
  wk::AsDriver(driver_, [&] {
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
  });
  wk::UnloadDriver(driver_);
}

NTSTATUS FunctionDriver::Submit(URB& urb) {
  NTSTATUS status;
  wk::AsDriver(driver_, [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower_, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = io.Status;
    }
  });
  return status;
}

NTSTATUS FunctionDriver::ResetPort() {
  NTSTATUS status;
  wk::AsDriver(driver_, [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, lower_, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &io);
    status = IoCallDriver(lower_, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = io.Status;
    }
  });
  return status;
}

NTSTATUS FunctionDriver::Configure(ULONG maxTransfer) {
  configuration_.assign(521, 0);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration_.data(),
                               nullptr, 521, nullptr);
  NTSTATUS status = Submit(urb);
  if (!NT_SUCCESS(status)) return status;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
  if (config->wTotalLength > configuration_.size()) {
    configuration_.assign(config->wTotalLength, 0);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration_.data(),
                                 nullptr, static_cast<ULONG>(configuration_.size()), nullptr);
    status = Submit(urb);
    if (!NT_SUCCESS(status)) return status;
    config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
  }
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(config->bNumInterfaces + 1u);
  PVOID start = config;
  for (size_t i = 0; i < config->bNumInterfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (d == nullptr) break;
    list[i].InterfaceDescriptor = d;
    start = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
  PURB select = nullptr;
  wk::AsDriver(driver_, [&] { select = USBD_CreateConfigurationRequestEx(config, list.data()); });
  if (select == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (auto& entry : list) {
    if (entry.Interface == nullptr) continue;
    for (ULONG k = 0; k < entry.Interface->NumberOfPipes; ++k) {
      entry.Interface->Pipes[k].MaximumTransferSize = maxTransfer;
    }
  }
  status = Submit(*select);
  pipes_.clear();
  if (NT_SUCCESS(status)) {
    for (auto& entry : list) {
      if (entry.Interface == nullptr) continue;
      pipes_.insert(pipes_.end(), entry.Interface->Pipes,
                    entry.Interface->Pipes + entry.Interface->NumberOfPipes);
    }
  }
  wk::AsDriver(driver_, [&] { ExFreePool(select); });
  return status;
}

USBD_PIPE_HANDLE FunctionDriver::Pipe(UCHAR endpoint) const {
  for (const USBD_PIPE_INFORMATION& p : pipes_) {
    if (p.EndpointAddress == endpoint) return p.PipeHandle;
  }
  return nullptr;
}

std::unique_ptr<InFlight> FunctionDriver::Send(std::unique_ptr<InFlight> r, UCHAR major) {
  KeInitializeEvent(&r->done, NotificationEvent, FALSE);
  wk::AsDriver(driver_, [&] {
    r->irp = IoAllocateIrp(lower_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
    next->MajorFunction = major;
    if (major == IRP_MJ_POWER) {
      next->MinorFunction = IRP_MN_WAIT_WAKE;
      next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    } else {
      next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
      next->Parameters.Others.Argument1 = &r->urb;
    }
    IoSetCompletionRoutine(r->irp, Completed, r.get(), TRUE, TRUE, TRUE);
    r->returned = IoCallDriver(lower_, r->irp);
  });
  return r;
}

std::unique_ptr<InFlight> FunctionDriver::Start(const URB& urb) {
  auto r = std::make_unique<InFlight>();
  r->urb = urb;
  return Send(std::move(r), IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

std::unique_ptr<InFlight> FunctionDriver::StartWaitWake() {
  return Send(std::make_unique<InFlight>(), IRP_MJ_POWER);
}

std::unique_ptr<InFlight> FunctionDriver::StartBulk(UCHAR endpoint, ULONG length, ULONG flags,
                                                    std::span<const UCHAR> data, bool viaMdl) {
  auto r = std::make_unique<InFlight>();
  size_t offset = viaMdl ? kGuard : 0;
  r->buffer.assign(length + 2 * offset, 0xEE);
  std::copy(data.begin(), data.end(), r->buffer.begin() + static_cast<ptrdiff_t>(offset));
  PUCHAR window = r->buffer.data() + offset;
  PMDL partial = nullptr;
  if (viaMdl) {
    wk::AsDriver(driver_, [&] {
      r->mdl = IoAllocateMdl(r->buffer.data(), static_cast<ULONG>(r->buffer.size()), FALSE,
                             FALSE, nullptr);
      MmBuildMdlForNonPagedPool(r->mdl);
      partial = IoAllocateMdl(window, length, FALSE, FALSE, nullptr);
      IoBuildPartialMdl(r->mdl, partial, window, length);
      r->mdl->Next = partial;  // freed together in Release
    });
  }
  UsbBuildInterruptOrBulkTransferRequest(&r->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Pipe(endpoint), viaMdl ? nullptr : window, partial,
                                         length, flags, nullptr);
  return Send(std::move(r), IRP_MJ_INTERNAL_DEVICE_CONTROL);
}

void FunctionDriver::Release(InFlight& r) {
  wk::AsDriver(driver_, [&] {
    if (r.mdl != nullptr) {
      IoFreeMdl(r.mdl->Next);
      IoFreeMdl(r.mdl);
      r.mdl = nullptr;
    }
    if (r.irp != nullptr) IoFreeIrp(r.irp);
    r.irp = nullptr;
  });
}

NTSTATUS FunctionDriver::Wait(InFlight& r) {
  KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
  Release(r);
  return r.io.Status;
}

NTSTATUS FunctionDriver::BulkIn(UCHAR endpoint, ULONG length, ULONG flags,
                                std::vector<UCHAR>* data, ULONG* transferred) {
  auto r = StartBulk(endpoint, length, flags | USBD_TRANSFER_DIRECTION_IN);
  NTSTATUS status = Wait(*r);
  ULONG n = r->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (data) data->assign(r->buffer.begin(), r->buffer.begin() + std::min<ULONG>(n, length));
  if (transferred) *transferred = n;
  return status;
}

NTSTATUS FunctionDriver::BulkOut(UCHAR endpoint, std::span<const UCHAR> data,
                                 ULONG* transferred) {
  auto r = StartBulk(endpoint, static_cast<ULONG>(data.size()), USBD_TRANSFER_DIRECTION_OUT, data);
  NTSTATUS status = Wait(*r);
  if (transferred) *transferred = r->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  return status;
}

NTSTATUS FunctionDriver::PipeRequest(USHORT function, UCHAR endpoint) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = Pipe(endpoint);
  return Submit(urb);
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, void (*fill)(PIO_STACK_LOCATION, void*),
                 void* context, ULONG_PTR* information) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &io);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = minor;
  if (fill) fill(next, context);
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  if (information) *information = io.Information;
  return status;
}

NTSTATUS SendRemove(PDEVICE_OBJECT pdo) {
  return SendPnp(pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_POWER, pdo, nullptr, 0, nullptr, &event, &io);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = state;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return status;
}

}  // namespace usbtest
