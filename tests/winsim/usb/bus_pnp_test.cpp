// The PDO's life: ids and capabilities, Plug and Play and power requests,
// wait-wake, and the device pulled out with requests in flight.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig.h"
#include "winsim/kernel/pnp.h"

namespace {

namespace wk = winsim::kernel;
using namespace winsim::usb;
using usbtest::Rig;
using usbtest::SendPnp;
using usbtest::Setup;
using usbtest::WithDevice;

std::vector<std::wstring> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, NTSTATUS* status) {
  ULONG_PTR information = 0;
  *status = SendPnp(
      pdo, IRP_MN_QUERY_ID,
      [](PIO_STACK_LOCATION s, void* c) {
        s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE*>(c);
      },
      &type, &information);
  std::vector<std::wstring> ids;
  auto* text = reinterpret_cast<PWCHAR>(information);
  if (text == nullptr) return ids;
  for (PWCHAR p = text; *p != L'\0'; p += ids.back().size() + 1) ids.emplace_back(p);
  ExFreePool(text);
  return ids;
}

TEST(UsbBusPnp, IdsAreTheOnesAUsbHubReports) {
  struct Row {
    const char* what;
    const DeviceDescription* device;
    BUS_QUERY_ID_TYPE type;
    NTSTATUS status;
    std::vector<std::wstring> ids;
  } rows[] = {
      {"device id", &kCardReader, BusQueryDeviceID, STATUS_SUCCESS, {L"USB\\VID_2E6B&PID_7A31"}},
      {"hardware ids", &kCardReader, BusQueryHardwareIDs, STATUS_SUCCESS,
       {L"USB\\VID_2E6B&PID_7A31&REV_0100", L"USB\\VID_2E6B&PID_7A31"}},
      {"compatible ids, from interface 0", &kCardReader, BusQueryCompatibleIDs, STATUS_SUCCESS,
       {L"USB\\Class_ff&SubClass_00&Prot_00", L"USB\\Class_ff&SubClass_00", L"USB\\Class_ff"}},
      {"instance id: the serial number", &kCardReader, BusQueryInstanceID, STATUS_SUCCESS,
       {L"KV7A31-000001"}},
      {"instance id without serial number", &kCardReaderNoSerial, BusQueryInstanceID,
       STATUS_SUCCESS, {L"6&2E6B7A31&0&1"}},
      {"serial number query is not answered", &kCardReader, BusQueryDeviceSerialNumber,
       STATUS_NOT_SUPPORTED, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice({.device = row.device, .configure = false}, [&](Rig& rig) {
      NTSTATUS status;
      EXPECT_EQ(QueryIds(rig.device.Pdo(), row.type, &status), row.ids);
      EXPECT_EQ(status, row.status);
    });
  }
}

TEST(UsbBusPnp, CapabilitiesFollowTheDevice) {
  struct Row {
    const DeviceDescription* device;
    DEVICE_POWER_STATE sleeping;
    DEVICE_POWER_STATE wake;
    bool uniqueId;
  } rows[] = {
      {&kCardReader, PowerDeviceD2, PowerDeviceD2, true},
      {&kCardReaderSleepD3, PowerDeviceD3, PowerDeviceUnspecified, true},
      {&kCardReaderNoSerial, PowerDeviceD2, PowerDeviceD2, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device->name);
    WithDevice({.device = row.device, .configure = false}, [&](Rig& rig) {
      DEVICE_CAPABILITIES caps{};
      caps.Size = sizeof caps;
      caps.Version = 1;
      caps.Address = caps.UINumber = 0xFFFFFFFF;
      EXPECT_EQ(SendPnp(
                    rig.device.Pdo(), IRP_MN_QUERY_CAPABILITIES,
                    [](PIO_STACK_LOCATION s, void* c) {
                      s->Parameters.DeviceCapabilities.Capabilities =
                          static_cast<PDEVICE_CAPABILITIES>(c);
                    },
                    &caps),
                STATUS_SUCCESS);
      EXPECT_EQ(caps.Size, sizeof caps);
      EXPECT_EQ(caps.Version, 1);
      EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
      for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) {
        EXPECT_EQ(caps.DeviceState[s], row.sleeping) << "S" << s - 1;
      }
      EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
      EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
      EXPECT_EQ(caps.DeviceWake, row.wake);
      EXPECT_EQ(caps.DeviceD2, row.sleeping == PowerDeviceD2);
      EXPECT_EQ(caps.WakeFromD2, row.wake == PowerDeviceD2);
      EXPECT_EQ(caps.UniqueID, row.uniqueId);
      EXPECT_TRUE(caps.Removable);
      EXPECT_FALSE(caps.SurpriseRemovalOK);
      EXPECT_EQ(caps.Address, rig.device.PortNumber());
    });
  }
}

TEST(UsbBusPnp, StateChangesSucceedAndOtherRequestsKeepTheirStatus) {
  struct Row {
    UCHAR minor;
    NTSTATUS status;
  } rows[] = {
      {IRP_MN_START_DEVICE, STATUS_SUCCESS},
      {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
      {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
      {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
      {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
      {IRP_MN_QUERY_RESOURCES, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_BUS_INFORMATION, STATUS_NOT_SUPPORTED},
  };
  WithDevice({.configure = false}, [&](Rig& rig) {
    for (const Row& row : rows) {
      EXPECT_EQ(SendPnp(rig.device.Pdo(), row.minor, nullptr, nullptr), row.status)
          << "minor " << int(row.minor);
    }
  });
}

TEST(UsbBusPnp, TargetDeviceRelationIsThePdoReferenced) {
  WithDevice({.configure = false}, [](Rig& rig) {
    auto relations = [&](DEVICE_RELATION_TYPE type, ULONG_PTR* information) {
      return SendPnp(
          rig.device.Pdo(), IRP_MN_QUERY_DEVICE_RELATIONS,
          [](PIO_STACK_LOCATION s, void* c) {
            s->Parameters.QueryDeviceRelations.Type = *static_cast<DEVICE_RELATION_TYPE*>(c);
          },
          &type, information);
    };
    ULONG_PTR information = 0;
    EXPECT_EQ(relations(BusRelations, &information), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(relations(TargetDeviceRelation, &information), STATUS_SUCCESS);
    auto* answer = reinterpret_cast<PDEVICE_RELATIONS>(information);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->Count, 1u);
    EXPECT_EQ(answer->Objects[0], rig.device.Pdo());
    ObDereferenceObject(answer->Objects[0]);
    ExFreePool(answer);
  });
}

TEST(UsbBusPnp, RemovalKeepsTheObjectOfADeviceStillPluggedIn) {
  WithDevice([](Rig& rig) {
    USBD_PIPE_HANDLE before = rig.driver.Pipe(0x82);
    EXPECT_EQ(usbtest::SendRemove(rig.device.Pdo()), STATUS_SUCCESS);
    ASSERT_NE(rig.device.Pdo(), nullptr);
    EXPECT_EQ(wk::CountsOf(rig.bus.Driver()).devices, 1);
    EXPECT_EQ(rig.driver.PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x82), STATUS_INVALID_PARAMETER)
        << "a pipe survived removal";
    ASSERT_EQ(rig.driver.Configure(), STATUS_SUCCESS);
    EXPECT_NE(rig.driver.Pipe(0x82), before);
  });
}

// ---- the device pulled out -----------------------------------------------------------

TEST(UsbBusUnplug, EveryRequestInFlightEndsAndNoneLeaks) {
  for (uint64_t seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    WithDevice({.seed = seed}, [](Rig& rig) {
      rig.model().SetOutBehaviour(OutBehaviour::kNever);
      std::vector<UCHAR> data{'g', 'o', 'n', 'e'};
      auto in = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
      auto out = rig.driver.StartBulk(0x01, 4, USBD_TRANSFER_DIRECTION_OUT, data);
      auto wake = rig.driver.StartWaitWake();
      UCHAR status[2];
      URB urb{};
      UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, status, nullptr,
                               nullptr);
      auto answered = rig.driver.Start(urb);  // answered, perhaps not yet completed

      rig.bus.Unplug(rig.device, false);
      EXPECT_FALSE(rig.device.Plugged());
      EXPECT_EQ(rig.device.PendingRequests(), 0u);
      for (auto* r : {in.get(), out.get(), wake.get(), answered.get()}) EXPECT_TRUE(r->completed);
      EXPECT_EQ(rig.driver.Wait(*in), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(in->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
      EXPECT_EQ(rig.driver.Wait(*out), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(rig.driver.Wait(*wake), STATUS_NO_SUCH_DEVICE);
      EXPECT_EQ(rig.driver.Wait(*answered), STATUS_SUCCESS);

      std::vector<UCHAR> none;
      EXPECT_EQ(rig.driver.BulkIn(0x82, 64, 0, &none), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(rig.driver.ResetPort(), STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(rig.model().PortResets(), 0u);

      EXPECT_EQ(usbtest::SendRemove(rig.device.Pdo()), STATUS_SUCCESS);
      EXPECT_EQ(rig.device.Pdo(), nullptr);
      EXPECT_EQ(wk::CountsOf(rig.bus.Driver()).devices, 0);
      EXPECT_EQ(wk::CountsOf(rig.driver.Driver()).irps, 0);
    });
  }
}

// ---- power ------------------------------------------------------------------------------

TEST(UsbBusPower, DevicePowerStatesAreRecorded) {
  WithDevice({.configure = false}, [](Rig& rig) {
    for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD3, PowerDeviceD0}) {
      EXPECT_EQ(usbtest::SetDevicePower(rig.device.Pdo(), state), STATUS_SUCCESS);
      EXPECT_EQ(rig.model().PowerState(), state);
      EXPECT_EQ(wk::DevicePowerStateOf(rig.device.Pdo()), state);
    }
  });
}

TEST(UsbBusPower, WaitWakeWaitsForTheDevice) {
  WithDevice([](Rig& rig) {
    EXPECT_FALSE(rig.device.SignalWake());
    auto wake = rig.driver.StartWaitWake();
    EXPECT_EQ(wake->returned, STATUS_PENDING);
    auto second = rig.driver.StartWaitWake();
    EXPECT_EQ(rig.driver.Wait(*second), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(wake->completed);
    EXPECT_TRUE(rig.device.SignalWake());
    EXPECT_EQ(rig.driver.Wait(*wake), STATUS_SUCCESS);

    auto cancelled = rig.driver.StartWaitWake();
    EXPECT_TRUE(IoCancelIrp(cancelled->irp));
    EXPECT_EQ(rig.driver.Wait(*cancelled), STATUS_CANCELLED);
    EXPECT_FALSE(rig.device.SignalWake());
  });
  WithDevice({.device = &kCardReaderSleepD3}, [](Rig& rig) {
    auto wake = rig.driver.StartWaitWake();
    EXPECT_EQ(rig.driver.Wait(*wake), STATUS_NOT_SUPPORTED) << "no remote wake-up";
  });
}

}  // namespace
