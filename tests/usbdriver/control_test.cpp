// The eight private control codes, their length checks and what reaches the
// device.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/usbdriver/reader_fixture.h"

namespace korvtest {
namespace {

namespace usb = winsim::usb;

struct LengthCase {
  const char* what;
  ULONG code;
  ULONG in;
  ULONG out;
  NTSTATUS status;
};

TEST(KorvUsbControl, LengthChecksRefuseBeforeAnythingReachesTheDevice) {
  const LengthCase cases[] = {
      {"is-ready with 8 out", IOCTL_KORVUSB_IS_READY, 0, 8, STATUS_INVALID_PARAMETER},
      {"is-ready with 4 out", IOCTL_KORVUSB_IS_READY, 0, 4, STATUS_SUCCESS},
      {"descriptor with 3 in", IOCTL_KORVUSB_GET_DESCRIPTOR, 3, 18, STATUS_INVALID_PARAMETER},
      {"descriptor with 5 in", IOCTL_KORVUSB_GET_DESCRIPTOR, 5, 18, STATUS_INVALID_PARAMETER},
      {"status with 2 out and 3 in", IOCTL_KORVUSB_GET_STATUS, 3, 2, STATUS_INVALID_PARAMETER},
      {"status with 4 in and 4 out", IOCTL_KORVUSB_GET_STATUS, 4, 4, STATUS_INVALID_PARAMETER},
      {"control-out with 15 in", IOCTL_KORVUSB_CONTROL_OUT, 15, 0, STATUS_INVALID_PARAMETER},
      {"control-in with 15 in", IOCTL_KORVUSB_CONTROL_IN, 15, 4, STATUS_INVALID_PARAMETER},
      {"reset-pipe on the whole device", IOCTL_KORVUSB_RESET_PIPE, 0, 0,
       STATUS_INVALID_PARAMETER},
      {"code 0x220020", 0x220020, 0, 0, STATUS_INVALID_PARAMETER},
      {"code 0x220002 between the codes", 0x220002, 0, 4, STATUS_INVALID_PARAMETER},
      {"code 0x22001E", 0x22001E, 0, 0, STATUS_INVALID_PARAMETER},
  };
  WithReader([&](Reader& r) {
    Handle device;
    ASSERT_EQ(Open(r.fdo, device, L""), STATUS_SUCCESS);
    for (const LengthCase& c : cases) {
      std::vector<UCHAR> in(c.in, 0), out(c.out, 0);
      size_t before = r.spy->records.size();
      ULONG_PTR info = 99;
      EXPECT_EQ(Control(r.fdo, c.code, in, out, &info, &device), c.status) << c.what;
      if (!NT_SUCCESS(c.status)) {
        EXPECT_EQ(info, 0u) << c.what;
        EXPECT_EQ(r.spy->records.size(), before) << c.what << ": nothing sent";
      }
    }
  });
}

TEST(KorvUsbControl, IsReadyAnswersOneWhileStartedAndIsRefusedOtherwise) {
  WithReader([](Reader& r) {
    ULONG ready = 7;
    ULONG_PTR info = 0;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_IS_READY, {},
                      {reinterpret_cast<UCHAR*>(&ready), 4}, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(ready, 1u);
    EXPECT_EQ(info, 4u);
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_IS_READY, {},
                      {reinterpret_cast<UCHAR*>(&ready), 4}, &info),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  });
}

TEST(KorvUsbControl, GetDescriptorPassesTheLanguageOnlyForStrings) {
  WithReader([](Reader& r) {
    UCHAR in[4] = {USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x09, 0x04};
    UCHAR out[18] = {};
    ULONG_PTR info = 0;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_GET_DESCRIPTOR, in, out, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 18u);
    EXPECT_EQ(out[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(std::memcmp(out, r.Ext()->DeviceDescriptor, 18), 0);
    const usb::ControlRecord& sent = r.Model().ControlRequests().back();
    EXPECT_EQ(sent.setup.wIndex, 0) << "language dropped for a device descriptor";
    UCHAR string[4] = {USB_STRING_DESCRIPTOR_TYPE, 0, 0x09, 0x04};
    UCHAR text[64] = {};
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_GET_DESCRIPTOR, string, text, &info), STATUS_SUCCESS);
    EXPECT_EQ(r.Model().ControlRequests().back().setup.wIndex, 0x0409);
    EXPECT_GT(info, 0u);
    EXPECT_LE(info, sizeof text);
  });
}

TEST(KorvUsbControl, ControlTransfersGoToTheInterfaceWhateverIndexTheCallerGave) {
  WithReader([](Reader& r) {
    struct {
      KORVUSB_CONTROL_REQUEST header;
      UCHAR coding[8];
    } out{};
    out.header.Function = URB_FUNCTION_CLASS_INTERFACE;
    out.header.Request = 0x20;  // SET_LINE_CODING
    out.header.Index = 0x55;
    ULONG baud = 9600;
    std::memcpy(out.coding, &baud, 4);
    out.coding[6] = 8;
    ULONG_PTR info = 0;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_CONTROL_OUT,
                      {reinterpret_cast<UCHAR*>(&out), sizeof out}, {}, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 8u);
    const usb::ControlRecord& sent = r.Model().ControlRequests().back();
    EXPECT_EQ(sent.setup.bmRequestType, 0x21);
    EXPECT_EQ(sent.setup.wIndex, r.Ext()->InterfaceNumber);
    EXPECT_EQ(sent.data, std::vector<UCHAR>(out.coding, out.coding + 8));
    EXPECT_EQ(r.Model().CurrentLineCoding().dwDTERate, 9600u);

    KORVUSB_CONTROL_REQUEST lines{};
    lines.Function = URB_FUNCTION_CLASS_INTERFACE;
    lines.Request = 0x22;  // SET_CONTROL_LINE_STATE
    lines.Value = 3;
    lines.Index = 0x77;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_CONTROL_OUT,
                      {reinterpret_cast<UCHAR*>(&lines), sizeof lines}, {}, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, 0u) << "no data stage";
    EXPECT_EQ(r.Model().ControlLineState(), 3);
  });
}

TEST(KorvUsbControl, ControlInReportsTheLengthAskedFor) {
  WithReader([](Reader& r) {
    UCHAR buffer[16] = {};
    auto* header = reinterpret_cast<PKORVUSB_CONTROL_REQUEST>(buffer);
    header->Function = URB_FUNCTION_CLASS_INTERFACE;
    header->TransferFlags = USBD_SHORT_TRANSFER_OK;
    header->Request = 0x21;  // GET_LINE_CODING: 7 bytes
    ULONG_PTR info = 0;
    UCHAR out[7] = {};
    std::vector<UCHAR> in(buffer, buffer + 16);
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_CONTROL_IN, in, out, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 7u);
    EXPECT_EQ(r.Model().ControlRequests().back().setup.bmRequestType, 0xA1);
  });
}

// The header's function is copied into a vendor-or-class request block;
// any other function would have the bus read that block as something else.
TEST(KorvUsbControl, ControlTransfersRefuseFunctionsOtherThanVendorAndClass) {
  WithReader([](Reader& r) {
    const USHORT functions[] = {URB_FUNCTION_SELECT_CONFIGURATION, URB_FUNCTION_ABORT_PIPE,
                                URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0xFFFF};
    for (USHORT function : functions) {
      KORVUSB_CONTROL_REQUEST header{};
      header.Function = function;
      size_t before = r.spy->records.size();
      ULONG_PTR info = 5;
      EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_CONTROL_OUT,
                        {reinterpret_cast<UCHAR*>(&header), sizeof header}, {}, &info),
                STATUS_INVALID_PARAMETER)
          << function;
      EXPECT_EQ(info, 0u);
      EXPECT_EQ(r.spy->records.size(), before);
    }
  });
}

TEST(KorvUsbControl, ConfigDescriptorNeedsRoomForAllOfIt) {
  WithReader([](Reader& r) {
    ULONG total = r.Ext()->ConfigurationDescriptor->wTotalLength;
    std::vector<UCHAR> out(total - 1);
    ULONG_PTR info = 9;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_GET_CONFIG_DESCRIPTOR, {}, out, &info),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info, 0u);
    out.resize(total);
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_GET_CONFIG_DESCRIPTOR, {}, out, &info),
              STATUS_SUCCESS);
    EXPECT_EQ(info, total);
    EXPECT_EQ(std::memcmp(out.data(), r.Ext()->ConfigurationDescriptor, total), 0);
  });
}

TEST(KorvUsbControl, StatusResetsAndTheirResults) {
  WithReader([](Reader& r) {
    UCHAR in[4] = {0, 0, 0, 0};  // device
    UCHAR out[2] = {0xFF, 0xFF};
    ULONG_PTR info = 0;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_GET_STATUS, in, out, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 2u);
    EXPECT_EQ(r.spy->Count("get-status"), 1u);

    Handle pipe;
    ASSERT_EQ(Open(r.fdo, pipe, L"if0pipe0"), STATUS_SUCCESS);
    r.spy->failures[URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL] = {STATUS_UNSUCCESSFUL};
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_RESET_PIPE, {}, {}, &info, &pipe), STATUS_SUCCESS)
        << "reset-pipe succeeds even when the device refuses";
    r.spy->failures[kResetPortKey] = {STATUS_DEVICE_NOT_CONNECTED};
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_RESET_PORT, {}, {}, &info),
              STATUS_DEVICE_NOT_CONNECTED);
    r.spy->failures.clear();
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_RESET_PORT, {}, {}, &info), STATUS_SUCCESS);
    EXPECT_EQ(r.Model().PortResets(), 1u);
  });
}

}  // namespace
}  // namespace korvtest
