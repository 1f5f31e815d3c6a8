#include <gtest/gtest.h>

#include "platform/kernel.h"
#include "winsim/kernel/sim.h"

namespace {

NTSTATUS CompleteWithSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteWithSuccess;
  return STATUS_SUCCESS;
}

TEST(Smoke, ThreadedRequestRoundTrip) {
  winsim::kernel::Run(0, [] {
    PDRIVER_OBJECT driver = winsim::kernel::LoadDriver(L"smoke", Entry);
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                             device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(winsim::kernel::LiveIrps(), 0);
    IoDeleteDevice(device);
    winsim::kernel::UnloadDriver(driver);
  });
}

}  // namespace
