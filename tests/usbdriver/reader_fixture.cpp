#include "tests/usbdriver/reader_fixture.h"

namespace korvtest {
namespace {

namespace wk = winsim::kernel;

Spy* g_spy = nullptr;

struct SpyExtension {
  PDEVICE_OBJECT lower;
  bool removed;  // detached: what still arrives is failed, as a filter must
};

bool Removed(PDEVICE_OBJECT device) {
  return static_cast<SpyExtension*>(device->DeviceExtension)->removed;
}

std::string UrbName(const URB* urb) {
  USHORT f = urb->UrbHeader.Function;
  switch (f) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return urb->UrbSelectConfiguration.ConfigurationDescriptor ? "select-configuration"
                                                                 : "unconfigure";
    case URB_FUNCTION_ABORT_PIPE:
      return "abort-pipe";
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return "reset-pipe";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN
                 ? "bulk-in"
                 : "bulk-out";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return "get-descriptor";
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      return "get-status";
    default:
      return "vendor-class";
  }
}

ULONG UrbLength(const URB* urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return urb->UrbControlDescriptorRequest.TransferBufferLength;
    default:
      return 0;
  }
}

NTSTATUS Fail(PIRP irp, NTSTATUS status);

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  if (Removed(device)) return Fail(irp, STATUS_NO_SUCH_DEVICE);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<SpyExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS Fail(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS SpyInternal(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
  USHORT key;
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    auto* urb = static_cast<PURB>(s->Parameters.Others.Argument1);
    g_spy->records.push_back({UrbName(urb), UrbLength(urb)});
    key = urb->UrbHeader.Function;
  } else {
    g_spy->records.push_back({code == IOCTL_INTERNAL_USB_RESET_PORT ? "reset-port" : "internal"});
    key = kResetPortKey;
  }
  auto failure = g_spy->failures.find(key);
  if (failure != g_spy->failures.end()) {
    if (failure->second.skip > 0) {
      failure->second.skip--;
    } else {
      return Fail(irp, failure->second.status);
    }
  }
  return PassDown(device, irp);
}

NTSTATUS SpyPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (Removed(device)) return Fail(irp, STATUS_NO_SUCH_DEVICE);
  if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER) {
    bool isDevice = s->Parameters.Power.Type == DevicePowerState;
    int n = isDevice ? s->Parameters.Power.State.DeviceState - 1
                     : s->Parameters.Power.State.SystemState - 1;
    std::string verb = s->MinorFunction == IRP_MN_SET_POWER ? "power " : "query-power ";
    g_spy->records.push_back({verb + (isDevice ? "D" : "S") + std::to_string(n)});
    if (isDevice && s->MinorFunction == IRP_MN_SET_POWER &&
        s->Parameters.Power.State.DeviceState == PowerDeviceD0 && g_spy->failPowerUp) {
      return Fail(irp, STATUS_UNSUCCESSFUL);
    }
  } else if (s->MinorFunction == IRP_MN_WAIT_WAKE) {
    g_spy->records.push_back({"wait-wake"});
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<SpyExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS SpyPnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = static_cast<SpyExtension*>(device->DeviceExtension)->lower;
  NTSTATUS status = PassDown(device, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    static_cast<SpyExtension*>(device->DeviceExtension)->removed = true;
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS SpyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(SpyExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* ext = static_cast<SpyExtension*>(device->DeviceExtension);
  ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
  ext->removed = false;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS SpyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = PassDown;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SpyInternal;
  driver->MajorFunction[IRP_MJ_POWER] = SpyPower;
  driver->MajorFunction[IRP_MJ_PNP] = SpyPnp;
  driver->DriverExtension->AddDevice = SpyAddDevice;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT FindKorvUsb(PDEVICE_OBJECT pdo) {
  for (PDEVICE_OBJECT d = pdo ? pdo->AttachedDevice : nullptr; d; d = d->AttachedDevice) {
    const UNICODE_STRING& name = d->DriverObject->DriverName;
    if (std::wstring(name.Buffer, name.Length / sizeof(WCHAR)) == L"\\Driver\\KORVUSB") return d;
  }
  return nullptr;
}

NTSTATUS Send(PDEVICE_OBJECT fdo, PIRP irp, Handle* h, Pending& p) {
  p.irp = irp;
  if (h != nullptr) IoGetNextIrpStackLocation(irp)->FileObject = &h->file;
  return IoCallDriver(fdo, irp);
}

PIRP Build(UCHAR major, PDEVICE_OBJECT fdo, void* buffer, ULONG length, Pending& p) {
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  return IoBuildSynchronousFsdRequest(major, fdo, buffer, length, nullptr, &p.done, &p.io);
}

}  // namespace

std::vector<std::string> Spy::Whats() const {
  std::vector<std::string> whats;
  for (const SpyRecord& r : records) whats.push_back(r.what);
  return whats;
}

size_t Spy::Count(const std::string& what) const {
  size_t n = 0;
  for (const SpyRecord& r : records) n += r.what == what;
  return n;
}

void WithReader(const std::function<void(Reader&)>& body, uint64_t seed, ReaderOptions options) {
  wk::Run(seed, [&] {
    Spy spy;
    spy.failures = options.failures;
    g_spy = &spy;
    wk::RegisterDriverImage(L"KORVUSB", korvusb::DriverEntry);
    wk::RegisterDriverImage(L"korvspy", SpyEntry);
    std::vector<std::wstring> lower;
    if (options.spy) lower.push_back(L"korvspy");
    wk::BindDriver(L"USB\\VID_2E6B&PID_7A31", L"KORVUSB", {}, lower);
    {
      winsim::usb::Bus bus;
      if (options.beforePlug) options.beforePlug();
      winsim::usb::PlugOptions plug;
      plug.completion = options.completion;
      winsim::usb::UsbDevice& device = bus.Plug(*options.description, plug);
      wk::DeviceNode* node = nullptr;
      for (wk::DeviceNode* n : wk::DeviceNodes()) {
        if (wk::PhysicalDeviceOf(n) == device.Pdo()) node = n;
      }
      Reader reader{&bus, &device, node, FindKorvUsb(device.Pdo()), &spy};
      body(reader);
      if (device.Plugged()) bus.Unplug(device);
    }
    g_spy = nullptr;
    wk::CheckCleanMachine();
  });
}

NTSTATUS Open(PDEVICE_OBJECT fdo, Handle& h, const wchar_t* name) {
  h.name = name;
  auto bytes = static_cast<USHORT>(h.name.size() * sizeof(WCHAR));
  h.file.FileName = {bytes, bytes, h.name.data()};
  Pending p;
  PIRP irp = Build(IRP_MJ_CREATE, fdo, nullptr, 0, p);
  Send(fdo, irp, &h, p);
  return Wait(p);
}

NTSTATUS Close(PDEVICE_OBJECT fdo, Handle& h) {
  Pending p;
  Send(fdo, Build(IRP_MJ_CLOSE, fdo, nullptr, 0, p), &h, p);
  return Wait(p);
}

void StartRead(PDEVICE_OBJECT fdo, Handle& h, std::span<UCHAR> buffer, Pending& p) {
  Send(fdo, Build(IRP_MJ_READ, fdo, buffer.data(), static_cast<ULONG>(buffer.size()), p), &h, p);
}

void StartWrite(PDEVICE_OBJECT fdo, Handle& h, std::span<const UCHAR> data, Pending& p) {
  Send(fdo,
       Build(IRP_MJ_WRITE, fdo, const_cast<UCHAR*>(data.data()), static_cast<ULONG>(data.size()),
             p),
       &h, p);
}

NTSTATUS Read(PDEVICE_OBJECT fdo, Handle& h, std::span<UCHAR> buffer, ULONG_PTR* information) {
  Pending p;
  StartRead(fdo, h, buffer, p);
  return Wait(p, information);
}

NTSTATUS Write(PDEVICE_OBJECT fdo, Handle& h, std::span<const UCHAR> data,
               ULONG_PTR* information) {
  Pending p;
  StartWrite(fdo, h, data, p);
  return Wait(p, information);
}

NTSTATUS Wait(Pending& p, ULONG_PTR* information) {
  KeWaitForSingleObject(&p.done, Executive, KernelMode, FALSE, nullptr);
  p.irp = nullptr;  // the I/O manager freed it
  if (information != nullptr) *information = p.io.Information;
  return p.io.Status;
}

void CancelIfPending(Pending& p) {
  if (!p.Finished()) IoCancelIrp(p.irp);
}

NTSTATUS Control(PDEVICE_OBJECT fdo, ULONG code, std::span<UCHAR> in, std::span<UCHAR> out,
                 ULONG_PTR* information, Handle* h) {
  Pending p;
  KeInitializeEvent(&p.done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(
      code, fdo, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
      out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()), FALSE, &p.done, &p.io);
  Send(fdo, irp, h, p);
  return Wait(p, information);
}

NTSTATUS Pnp(PDEVICE_OBJECT fdo, UCHAR minor, PDEVICE_CAPABILITIES caps) {
  Pending p;
  PIRP irp = Build(IRP_MJ_PNP, fdo, nullptr, 0, p);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MinorFunction = minor;
  s->Parameters.DeviceCapabilities.Capabilities = caps;
  Send(fdo, irp, nullptr, p);
  return Wait(p);
}

void Sleep(ULONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace korvtest
