// Power policy: the state derived from the capabilities, the idle policy
// around pipe opens and closes, system sleep with and without wait-wake.
#include <gtest/gtest.h>

#include "tests/usbdriver/reader_fixture.h"
#include "winsim/usb/device_model.h"

namespace korvtest {
namespace {

namespace usb = winsim::usb;
namespace wk = winsim::kernel;

std::vector<std::string> PowerRecords(const Spy& spy) {
  std::vector<std::string> power;
  for (const SpyRecord& r : spy.records) {
    if (r.what.find("power") != std::string::npos || r.what == "wait-wake") {
      power.push_back(r.what);
    }
  }
  return power;
}

TEST(KorvUsbPower, PowerDownStateComesFromTheSleepingStates) {
  WithReader([](Reader& r) { EXPECT_EQ(r.Ext()->PowerDownState, PowerDeviceD2); });
  ReaderOptions d3;
  d3.description = &usb::kCardReaderSleepD3;
  WithReader([](Reader& r) { EXPECT_EQ(r.Ext()->PowerDownState, PowerDeviceUnspecified); }, 0,
             d3);
}

// With PowerDownState D2 the last close lowers the device and every open
// raises it again, each power-up waited for before the open returns.
TEST(KorvUsbPower, IdlePolicyLowersOnLastCloseAndRaisesOnOpen) {
  WithReader([](Reader& r) {
    Handle h;
    for (int round = 0; round < 3; ++round) {
      ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);
      EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD0) << "round " << round;
      EXPECT_EQ(r.Model().PowerState(), PowerDeviceD0) << "round " << round;
      ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
      Sleep(1);
      EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD2) << "round " << round;
    }
    std::vector<std::string> expected = {"power D0", "power D2", "power D0",
                                         "power D2", "power D0", "power D2"};
    EXPECT_EQ(PowerRecords(*r.spy), expected);
  });
}

TEST(KorvUsbPower, NoIdlePolicyWithoutALowPowerState) {
  ReaderOptions d3;
  d3.description = &usb::kCardReaderSleepD3;
  WithReader(
      [](Reader& r) {
        Handle h;
        ASSERT_EQ(Open(r.fdo, h, L"if0pipe0"), STATUS_SUCCESS);
        ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
        Sleep(1);
        EXPECT_TRUE(PowerRecords(*r.spy).empty());
      },
      0, d3);
}

TEST(KorvUsbPower, SystemSleepLowersTheDeviceFirstAndWakeRaisesItFirst) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);  // D0 and kept there
    r.spy->records.clear();
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD0);
    std::vector<std::string> expected = {"query-power S3", "power D3", "power S3", "power D0",
                                         "power S0"};
    EXPECT_EQ(PowerRecords(*r.spy), expected);
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
  });
}

struct WakeResult {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
};

VOID WakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
  auto* w = static_cast<WakeResult*>(context);
  w->done = true;
  w->status = io->Status;
}

TEST(KorvUsbPower, WaitWakeKeepsTheSleepingDeviceAtItsWakeStateUntilWoken) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);  // idle: D2
    Sleep(1);
    ASSERT_EQ(r.Ext()->DevicePowerState, PowerDeviceD2);
    WakeResult wake;
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    ASSERT_EQ(PoRequestPowerIrp(r.device->Pdo(), IRP_MN_WAIT_WAKE, s3, WakeDone, &wake, nullptr),
              STATUS_PENDING);
    Sleep(1);
    EXPECT_TRUE(r.Ext()->WaitWakeActive);
    EXPECT_EQ(r.Ext()->PowerDownState, r.Ext()->Capabilities.DeviceWake);
    r.spy->records.clear();
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(r.Ext()->DevicePowerState, r.Ext()->Capabilities.DeviceState[PowerSystemSleeping3]);
    EXPECT_EQ(r.spy->Count("power D3"), 0u) << "wait-wake keeps the device able to wake";
    EXPECT_TRUE(r.device->SignalWake());
    Sleep(1);
    EXPECT_TRUE(wake.done);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_FALSE(r.Ext()->WaitWakeActive);
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD0);
  });
}

TEST(KorvUsbPower, WaitWakeInD0IsRefusedButStillSetsPowerDownState) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);  // D0
    r.Ext()->PowerDownState = PowerDeviceD1;
    WakeResult wake;
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    PoRequestPowerIrp(r.device->Pdo(), IRP_MN_WAIT_WAKE, s3, WakeDone, &wake, nullptr);
    Sleep(1);
    EXPECT_TRUE(wake.done);
    EXPECT_EQ(wake.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(r.Ext()->PowerDownState, r.Ext()->Capabilities.DeviceWake);
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
  });
}

TEST(KorvUsbPower, FailedPowerUpBelowIsStillRecordedAsD0AndSucceeds) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
    Sleep(1);
    r.spy->failPowerUp = true;
    WakeResult up;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(r.device->Pdo(), IRP_MN_SET_POWER, d0, WakeDone, &up, nullptr);
    Sleep(1);
    EXPECT_EQ(up.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD0);
  });
}

TEST(KorvUsbPower, SystemRequestIsPassedOnWhenItsDeviceRequestCannotBeIssued) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);
    r.spy->records.clear();
    wk::FailNextPowerRequest(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(PowerRecords(*r.spy), (std::vector<std::string>{"query-power S3", "power S3"}));
    EXPECT_EQ(r.Ext()->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(wk::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
  });
}

TEST(KorvUsbPower, DeviceStatesOutsideD0ToD3PassWithoutBeingRecorded) {
  WithReader([](Reader& r) {
    Handle h;
    ASSERT_EQ(Open(r.fdo, h, L"if0pipe1"), STATUS_SUCCESS);
    WakeResult done;
    POWER_STATE odd;
    odd.DeviceState = PowerDeviceMaximum;
    PoRequestPowerIrp(r.device->Pdo(), IRP_MN_SET_POWER, odd, WakeDone, &done, nullptr);
    Sleep(1);
    EXPECT_TRUE(done.done);
    EXPECT_EQ(r.Ext()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(r.spy->Count("power D4"), 1u) << "passed down";
    ASSERT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
  });
}

}  // namespace
}  // namespace korvtest
