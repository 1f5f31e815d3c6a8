// Arbitrary bytes as the configuration descriptor a device answers with, all
// the way through the bus: a function driver reads it as a driver does (521
// bytes, then wTotalLength when that is more), searches it, builds the
// select-configuration request and sends it; the bus parses the driver's copy
// to open pipes, and the driver moves a few bytes on each. Then the device
// is pulled out and removed, and the verifier checks that neither driver
// left anything behind.
#include <cstdint>
#include <vector>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"
#include "winsim/usb/bus.h"

namespace {

namespace wk = winsim::kernel;

NTSTATUS Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

NTSTATUS Submit(PDEVICE_OBJECT lower, PURB urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower, nullptr, 0,
                                           nullptr, 0, TRUE, &event, &io);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return status;
}

// Reads the configuration into pool: 521 bytes first, wTotalLength bytes when
// the device says it has more. nullptr when the device sent nothing usable.
PUSB_CONFIGURATION_DESCRIPTOR ReadConfiguration(PDEVICE_OBJECT lower) {
  ULONG length = 521;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, length, 0x7A7A7546));
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, nullptr, length,
                                 nullptr);
    NTSTATUS status = Submit(lower, &urb);
    ULONG got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(status) || got < sizeof *config) {
      ExFreePool(config);
      return nullptr;
    }
    if (config->wTotalLength <= length) return config;
    length = config->wTotalLength;
    ExFreePool(config);
  }
  return nullptr;
}

void Drive(PDEVICE_OBJECT lower, winsim::usb::DeviceModel& device) {
  PUSB_CONFIGURATION_DESCRIPTOR config = ReadConfiguration(lower);
  if (config == nullptr) return;
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(config->bNumInterfaces + 1u);
  PVOID start = config;
  for (size_t i = 0; i < config->bNumInterfaces; ++i) {
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    if (d == nullptr) break;
    list[i].InterfaceDescriptor = d;
    start = reinterpret_cast<PUCHAR>(d) + sizeof(USB_INTERFACE_DESCRIPTOR);
  }
  PURB select = list[0].InterfaceDescriptor
                    ? USBD_CreateConfigurationRequestEx(config, list.data())
                    : nullptr;
  if (select != nullptr) {
    for (auto& entry : list) {
      for (ULONG k = 0; entry.Interface && k < entry.Interface->NumberOfPipes; ++k) {
        entry.Interface->Pipes[k].MaximumTransferSize = 256;
      }
    }
    if (NT_SUCCESS(Submit(lower, select))) {
      for (auto& entry : list) {
        for (ULONG k = 0; entry.Interface && k < entry.Interface->NumberOfPipes; ++k) {
          const USBD_PIPE_INFORMATION& pipe = entry.Interface->Pipes[k];
          UCHAR data[64] = {};
          URB urb{};
          bool in = USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress);
          // Data waits on every IN pipe, so each transfer ends at once.
          if (in) device.QueueIn("fuzz", pipe.EndpointAddress);
          UsbBuildInterruptOrBulkTransferRequest(
              &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe.PipeHandle, data,
              nullptr, in ? 64 : 4,
              (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                  USBD_SHORT_TRANSFER_OK,
              nullptr);
          Submit(lower, &urb);
        }
      }
    }
    ExFreePool(select);
  }
  ExFreePool(config);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // an empty raw configuration means "the structured one"
  std::vector<UCHAR> bytes(data, data + size);
  winsim::usb::DeviceDescription device = winsim::usb::kCardReader;
  device.rawConfiguration = bytes;
  wk::Run(0, [&] {
    winsim::usb::Bus bus;
    winsim::usb::UsbDevice& plugged =
        bus.Plug(device, {.reportArrival = false, .completion = winsim::usb::Completion::kInline});
    PDRIVER_OBJECT driver = wk::LoadDriver(L"fuzzdriver", Entry);
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    wk::AsDriver(driver, [&] {
      IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
      lower = IoAttachDeviceToDeviceStack(fdo, plugged.Pdo());
      fdo->Flags &= ~DO_DEVICE_INITIALIZING;
      Drive(lower, plugged.Model());
    });
    bus.Unplug(plugged, false);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP remove =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, lower, nullptr, 0, nullptr, &event, &io);
    IoGetNextIrpStackLocation(remove)->MinorFunction = IRP_MN_REMOVE_DEVICE;
    IoCallDriver(lower, remove);
    wk::AsDriver(driver, [&] {
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
    });
    wk::UnloadDriver(driver);
  });
  return 0;
}
