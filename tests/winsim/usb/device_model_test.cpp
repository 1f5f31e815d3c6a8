// The device model on its own: the wire format, the two tiers of control
// requests, and the bulk endpoints' packets and behaviours. No kernel.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "winsim/usb/device_model.h"

namespace {

using namespace winsim::usb;

std::vector<UCHAR> Bytes(std::initializer_list<int> values) {
  std::vector<UCHAR> v;
  for (int x : values) v.push_back(static_cast<UCHAR>(x));
  return v;
}

// One control transfer: IN answers come back in `data`, OUT data goes out of it.
std::optional<ULONG> Control(DeviceModel& m, UCHAR type, UCHAR request, USHORT value,
                             USHORT index, std::vector<UCHAR>& data) {
  return m.Control({type, request, value, index, static_cast<USHORT>(data.size())}, data);
}

DeviceModel Configured(const DeviceDescription& d = kCardReader) {
  DeviceModel m(d);
  std::vector<UCHAR> none;
  EXPECT_TRUE(Control(m, 0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, none));
  return m;
}

TEST(DeviceModelWire, SerializerRefusesAShortBufferAndWritesNothingPastIt) {
  for (const DeviceDescription* d : {&kCardReader, &kCardReaderTwoInterfaces,
                                     &kCardReaderLongConfiguration}) {
    SCOPED_TRACE(d->name);
    size_t n = ConfigurationLength(*d);
    std::vector<UCHAR> out(n + 1, 0x5A);
    EXPECT_EQ(SerializeConfiguration(*d, std::span<UCHAR>(out.data(), n - 1)), std::nullopt);
    EXPECT_EQ(out[n - 1], 0x5A);
    EXPECT_EQ(SerializeConfiguration(*d, std::span<UCHAR>(out.data(), n)), n);
    EXPECT_EQ(out[n], 0x5A);
    EXPECT_EQ(out[2] | out[3] << 8, static_cast<int>(n));  // wTotalLength
  }
  std::array<UCHAR, 17> shortDevice{};
  EXPECT_EQ(SerializeDeviceDescriptor(kCardReader, shortDevice), std::nullopt);
}

TEST(DeviceModelWire, CardReaderConfigurationIsOutThenInWith64BytePackets) {
  EXPECT_EQ(ConfigurationBytes(kCardReader),
            Bytes({0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,  //
                   0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  //
                   0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              //
                   0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00}));
  EXPECT_GT(ConfigurationLength(kCardReaderLongConfiguration), 521u);
}

TEST(DeviceModelControl, DescriptorReadsAreCutToWLength) {
  struct Row {
    const char* what;
    USHORT value;
    USHORT wLength;
    std::vector<UCHAR> prefix;  // the first bytes expected
    ULONG returned;
  } rows[] = {
      {"device, first 8", 0x0100, 8, Bytes({18, 1, 0x00, 0x02, 0, 0, 0, 64}), 8},
      {"device, more than it has", 0x0100, 255, Bytes({18, 1}), 18},
      {"configuration header", 0x0200, 9, Bytes({9, 2, 32, 0}), 9},
      {"whole configuration", 0x0200, 521, Bytes({9, 2, 32, 0}), 32},
      {"languages", 0x0300, 255, Bytes({4, 3, 0x09, 0x04}), 4},
      {"serial number", 0x0303, 255, Bytes({28, 3, 'K', 0, 'V', 0, '7', 0}), 28},
      {"serial number, 2 bytes", 0x0303, 2, Bytes({28, 3}), 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DeviceModel m(kCardReader);
    std::vector<UCHAR> data(row.wLength, 0xEE);
    ASSERT_EQ(Control(m, 0x80, USB_REQUEST_GET_DESCRIPTOR, row.value, 0x0409, data),
              row.returned);
    EXPECT_TRUE(std::equal(row.prefix.begin(), row.prefix.end(), data.begin()));
    if (row.returned < data.size()) {
      EXPECT_EQ(data[row.returned], 0xEE);
    }
  }
}

TEST(DeviceModelControl, StandardRequests) {
  struct Row {
    const char* what;
    bool configure;  // SET_CONFIGURATION 1 first
    UCHAR type, request;
    USHORT value, index, wLength;
    std::optional<std::vector<UCHAR>> answer;  // nothing: a stall
  } rows[] = {
      {"unknown descriptor type", false, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0600, 0, 10, {}},
      {"string index without a string", false, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0309, 0,
       255, {}},
      {"configuration 2", false, 0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0, {}},
      {"get configuration, unconfigured", false, 0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1,
       Bytes({0})},
      {"get configuration", true, 0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1, Bytes({1})},
      {"device status: bus powered", false, 0x80, USB_REQUEST_GET_STATUS, 0, 0, 2,
       Bytes({0, 0})},
      {"interface status before configuration", false, 0x81, USB_REQUEST_GET_STATUS, 0, 0, 2,
       {}},
      {"interface 0 status", true, 0x81, USB_REQUEST_GET_STATUS, 0, 0, 2, Bytes({0, 0})},
      {"status of a missing endpoint", true, 0x82, USB_REQUEST_GET_STATUS, 0, 0x83, 2, {}},
      {"set interface is not modelled", true, 0x01, USB_REQUEST_SET_INTERFACE, 0, 0, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DeviceModel m = row.configure ? Configured() : DeviceModel(kCardReader);
    std::vector<UCHAR> data(row.wLength, 0);
    std::optional<ULONG> n = Control(m, row.type, row.request, row.value, row.index, data);
    ASSERT_EQ(n.has_value(), row.answer.has_value());
    if (n) {
      EXPECT_EQ(std::vector<UCHAR>(data.begin(), data.begin() + *n), *row.answer);
    }
    // Every request leaves its trace; a stall says why.
    ASSERT_FALSE(m.ControlRequests().empty());
    const ControlRecord& last = m.ControlRequests().back();
    EXPECT_EQ(last.setup.bRequest, row.request);
    EXPECT_EQ(last.stalled, !row.answer.has_value());
    EXPECT_EQ(last.why.empty(), row.answer.has_value());
  }
}

TEST(DeviceModelControl, EndpointHaltAndRemoteWakeupFeatures) {
  DeviceModel m = Configured();
  std::vector<UCHAR> none, status(2);
  m.Stall(0x82);
  ASSERT_TRUE(Control(m, 0x82, USB_REQUEST_GET_STATUS, 0, 0x82, status));
  EXPECT_EQ(status[0], 1);
  ASSERT_TRUE(Control(m, 0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x82, none));
  EXPECT_FALSE(m.Halted(0x82));
  ASSERT_TRUE(Control(m, 0x00, USB_REQUEST_SET_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, none));
  ASSERT_TRUE(Control(m, 0x80, USB_REQUEST_GET_STATUS, 0, 0, status));
  EXPECT_EQ(status[0], USB_GETSTATUS_REMOTE_WAKEUP_ENABLED);
}

TEST(DeviceModelControl, ClassRequestsAreRecordedWithTheirData) {
  DeviceModel m = Configured();
  std::vector<UCHAR> coding = Bytes({0x00, 0xC2, 0x01, 0x00, 2, 1, 7, 0x99});  // 115200, 2 stop
  ASSERT_EQ(Control(m, 0x21, kSetLineCoding, 0, 0, coding), 8u);
  std::vector<UCHAR> none;
  ASSERT_TRUE(Control(m, 0x21, kSetControlLineState, 0x0003, 0, none));
  std::vector<UCHAR> back(7);
  ASSERT_EQ(Control(m, 0xA1, kGetLineCoding, 0, 0, back), 7u);

  EXPECT_EQ(m.CurrentLineCoding().dwDTERate, 115200u);
  EXPECT_EQ(m.CurrentLineCoding().bCharFormat, 2);
  EXPECT_EQ(m.CurrentLineCoding().bParityType, 1);
  EXPECT_EQ(m.CurrentLineCoding().bDataBits, 7);
  EXPECT_EQ(m.ControlLineState(), 3);
  EXPECT_EQ(back, std::vector<UCHAR>(coding.begin(), coding.begin() + 7));

  std::vector<ControlRecord> seen = m.ClassRequests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].setup.bmRequestType, 0x21);
  EXPECT_EQ(seen[0].data, coding);
  EXPECT_EQ(seen[1].setup.wValue, 3);
  EXPECT_TRUE(seen[1].data.empty());
  EXPECT_TRUE(m.Stalls().empty());
}

TEST(DeviceModelControl, ClassRequestsTheDeviceDoesNotTakeStall) {
  struct Row {
    const char* what;
    bool configure;
    UCHAR type, request;
    USHORT index, wLength;
  } rows[] = {
      {"before SET_CONFIGURATION", false, 0x21, kSetControlLineState, 0, 0},
      {"to the device", true, 0x20, kSetControlLineState, 0, 0},
      {"to a missing interface", true, 0x21, kSetControlLineState, 5, 0},
      {"line coding too short", true, 0x21, kSetLineCoding, 0, 6},
      {"control line state with data", true, 0x21, kSetControlLineState, 0, 1},
      {"SEND_BREAK", true, 0x21, 0x23, 0, 0},
      {"a vendor request", true, 0x40, 0x01, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DeviceModel m = row.configure ? Configured() : DeviceModel(kCardReader);
    std::vector<UCHAR> data(row.wLength, 0);
    EXPECT_FALSE(Control(m, row.type, row.request, 0, row.index, data));
    ASSERT_EQ(m.Stalls().size(), 1u);
    EXPECT_EQ(m.Stalls()[0].setup.bRequest, row.request);
    EXPECT_FALSE(m.Stalls()[0].why.empty());
    EXPECT_EQ(m.ControlLineState(), 0);
  }
}

TEST(DeviceModelBulk, InPacketsEndATransferWhenShort) {
  struct Row {
    const char* what;
    std::vector<size_t> queued;  // one QueueIn per entry; 0 = a zero-length packet
    ULONG length;
    bool shortOk;
    bool finished;
    USBD_STATUS status;
    ULONG done;
  } rows[] = {
      {"20 bytes end a 64-byte transfer", {20}, 64, true, true, USBD_STATUS_SUCCESS, 20},
      {"100 bytes: 64 then a short 36", {100}, 256, true, true, USBD_STATUS_SUCCESS, 100},
      {"a full packet leaves the transfer open", {64}, 128, true, false, USBD_STATUS_PENDING, 64},
      {"a zero-length packet ends it", {64, 0}, 128, true, true, USBD_STATUS_SUCCESS, 64},
      {"exactly the transfer", {64}, 64, false, true, USBD_STATUS_SUCCESS, 64},
      {"short without USBD_SHORT_TRANSFER_OK", {20}, 64, false, true,
       USBD_STATUS_DATA_UNDERRUN, 20},
      {"packet larger than the room left", {20}, 10, true, true, USBD_STATUS_DATA_OVERRUN, 0},
      {"nothing queued", {}, 64, true, false, USBD_STATUS_PENDING, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DeviceModel m = Configured();
    std::string sent;
    for (size_t n : row.queued) {
      if (n == 0) {
        m.QueueZeroLengthPacket();
        continue;
      }
      std::string part(n, '\0');
      for (size_t i = 0; i < n; ++i) part[i] = static_cast<char>('a' + (sent.size() + i) % 26);
      m.QueueIn(part);
      sent += part;
    }
    std::vector<UCHAR> buffer(row.length);
    ULONG done = 0;
    BulkOutcome o = m.BulkIn(0x82, buffer, &done, row.shortOk);
    EXPECT_EQ(o.finished, row.finished);
    EXPECT_EQ(o.status, row.status);
    ASSERT_EQ(done, row.done);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + done), sent.substr(0, done));
  }
}

TEST(DeviceModelBulk, OutBehaviours) {
  std::vector<UCHAR> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i);
  constexpr uint64_t kMs = 10000;
  {
    SCOPED_TRACE("slowly, 10 bytes a millisecond");
    DeviceModel m = Configured();
    m.SetOutBehaviour(OutBehaviour::kTakeSlowly, 10);
    ULONG done = 0;
    EXPECT_FALSE(m.BulkOut(0x01, data, &done, 5 * kMs, 5 * kMs).finished);
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(m.BulkOut(0x01, data, &done, 8 * kMs, 5 * kMs).finished);
    EXPECT_EQ(done, 30u);
    EXPECT_TRUE(m.OutIsTimed(0x01));
    BulkOutcome o = m.BulkOut(0x01, data, &done, 15 * kMs, 5 * kMs);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(m.OutData(), data);
  }
  {
    SCOPED_TRACE("never");
    DeviceModel m = Configured();
    m.SetOutBehaviour(OutBehaviour::kNever);
    ULONG done = 0;
    EXPECT_FALSE(m.BulkOut(0x01, data, &done, 1000 * kMs, 0).finished);
    EXPECT_TRUE(m.OutData().empty());
  }
  {
    SCOPED_TRACE("stall, also after the host clears the halt");
    DeviceModel m = Configured();
    m.SetOutBehaviour(OutBehaviour::kStall);
    for (int attempt = 0; attempt < 2; ++attempt) {
      ULONG done = 0;
      BulkOutcome o = m.BulkOut(0x01, data, &done, 0, 0);
      EXPECT_TRUE(o.finished);
      EXPECT_EQ(o.status, USBD_STATUS_STALL_PID);
      EXPECT_TRUE(m.Halted(0x01));
      m.ClearHalt(0x01);
    }
    EXPECT_TRUE(m.OutData().empty());
  }
}

TEST(DeviceModelBulk, StallLastsUntilCleared) {
  DeviceModel m = Configured();
  m.QueueIn("abc");
  m.Stall(0x82);
  std::vector<UCHAR> buffer(64);
  ULONG done = 0;
  EXPECT_EQ(m.BulkIn(0x82, buffer, &done, true).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(m.BulkIn(0x82, buffer, &done, true).status, USBD_STATUS_STALL_PID);
  m.ClearHalt(0x82);
  EXPECT_EQ(m.BulkIn(0x82, buffer, &done, true).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(done, 3u);
}

}  // namespace
