#include "tests/support/pass_driver.h"

#include "winsim/kernel/pnp.h"

namespace passdriver {
namespace {

namespace wk = winsim::kernel;

struct PassExtension {
  PDEVICE_OBJECT lower;
};

std::vector<std::string> g_log;
bool g_refuseQueryRemove = false;

const char* NameOf(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "query-remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "cancel-remove";
    case IRP_MN_REMOVE_DEVICE:
      return "remove";
    case IRP_MN_SURPRISE_REMOVAL:
      return "surprise-removal";
    default:
      return nullptr;
  }
}

NTSTATUS PassPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<PassExtension*>(device->DeviceExtension);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (const char* name = NameOf(minor)) g_log.emplace_back(name);
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE && g_refuseQueryRemove) {
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(ext->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(ext->lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS PassPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<PassExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS PassAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<PassExtension*>(device->DeviceExtension)->lower =
      IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PassEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = PassPnp;
  driver->MajorFunction[IRP_MJ_POWER] = PassPower;
  driver->DriverExtension->AddDevice = PassAddDevice;
  driver->DriverUnload = [](PDRIVER_OBJECT) { g_log.emplace_back("unload"); };
  return STATUS_SUCCESS;
}

}  // namespace

void Install() {
  g_log.clear();
  g_refuseQueryRemove = false;
  wk::RegisterDriverImage(L"korvtest", PassEntry);
  wk::BindDriver(L"USB\\VID_2E6B&PID_7A31", L"korvtest");
}

std::vector<std::string>& Log() { return g_log; }

void RefuseQueryRemove(bool refuse) { g_refuseQueryRemove = refuse; }

}  // namespace passdriver
