// The bus driver's URB functions, seen from a function driver on its PDO:
// configuration, descriptors, bulk transfers with their short packets,
// stalls, cancellation and aborts, control requests, status and faults.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "rig.h"

namespace {

namespace wk = winsim::kernel;
using namespace winsim::usb;
using usbtest::InFlight;
using usbtest::Rig;
using usbtest::Setup;
using usbtest::WithDevice;

std::vector<UCHAR> Text(const std::string& s) { return {s.begin(), s.end()}; }

USBD_STATUS UrbStatus(const InFlight& r) { return r.urb.UrbHeader.Status; }
ULONG Transferred(const InFlight& r) { return r.urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }

// ---- configuration ------------------------------------------------------------------

TEST(UsbBusConfiguration, SelectFillsPipesInDescriptorOrder) {
  struct Row {
    const DeviceDescription* device;
    std::vector<UCHAR> endpoints;
  } rows[] = {
      {&kCardReader, {0x01, 0x82}},
      {&kCardReaderInBeforeOut, {0x82, 0x01}},
      {&kCardReaderTwoInterfaces, {0x01, 0x82, 0x03, 0x84}},
      {&kCardReaderLongConfiguration, {0x01, 0x82}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device->name);
    WithDevice({.device = row.device}, [&](Rig& rig) {
      std::vector<UCHAR> endpoints;
      std::set<USBD_PIPE_HANDLE> handles;
      for (const USBD_PIPE_INFORMATION& p : rig.driver.Pipes()) {
        endpoints.push_back(p.EndpointAddress);
        handles.insert(p.PipeHandle);
        EXPECT_EQ(p.MaximumPacketSize, 64);
        EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(p.MaximumTransferSize, 256u);
      }
      EXPECT_EQ(endpoints, row.endpoints);
      EXPECT_EQ(handles.size(), endpoints.size());
      EXPECT_EQ(handles.count(nullptr), 0u);
      EXPECT_EQ(rig.model().Configuration(), 1);
    });
  }
}

TEST(UsbBusConfiguration, MaximumTransferSizeIsHonouredUpToTheLimit) {
  WithDevice({.configure = false}, [](Rig& rig) {
    EXPECT_EQ(rig.driver.Configure(kMaximumTransferSizeLimit + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.model().Configuration(), 0) << "a refused selection reached the device";
    ASSERT_EQ(rig.driver.Configure(64), STATUS_SUCCESS);
    std::vector<UCHAR> data(65, 'x');
    EXPECT_EQ(rig.driver.BulkOut(0x01, data), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.driver.BulkOut(0x01, std::span(data).first(64)), STATUS_SUCCESS);
    EXPECT_EQ(rig.model().OutData().size(), 64u);
    EXPECT_EQ(rig.driver.Configure(kMaximumTransferSizeLimit), STATUS_SUCCESS);
  });
}

TEST(UsbBusConfiguration, UnconfiguringEndsThePipesAndTheirTransfers) {
  WithDevice([](Rig& rig) {
    auto pending = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(rig.driver.Submit(urb), STATUS_SUCCESS);
    EXPECT_EQ(rig.model().Configuration(), 0);
    EXPECT_EQ(rig.driver.Wait(*pending), STATUS_CANCELLED);
    auto stale = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(rig.driver.Wait(*stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(UrbStatus(*stale), USBD_STATUS_INVALID_PIPE_HANDLE);
  });
}

// ---- descriptors ----------------------------------------------------------------------

TEST(UsbBusDescriptors, ReadsShorterAndLongerThanTheDescriptor) {
  struct Row {
    const char* what;
    const DeviceDescription* device;
    UCHAR type, index;
    USHORT language;
    ULONG asked;
    bool viaMdl;
    NTSTATUS status;
    ULONG copied;
  } rows[] = {
      {"device", &kCardReader, 1, 0, 0, 18, false, STATUS_SUCCESS, 18},
      {"device, first 8 bytes", &kCardReader, 1, 0, 0, 8, false, STATUS_SUCCESS, 8},
      {"device, 64 asked", &kCardReader, 1, 0, 0, 64, true, STATUS_SUCCESS, 18},
      {"configuration header", &kCardReader, 2, 0, 0, 9, false, STATUS_SUCCESS, 9},
      {"configuration, 521 asked", &kCardReader, 2, 0, 0, 521, false, STATUS_SUCCESS, 32},
      {"long configuration, 521 asked", &kCardReaderLongConfiguration, 2, 0, 0, 521, true,
       STATUS_SUCCESS, 521},
      {"long configuration, all", &kCardReaderLongConfiguration, 2, 0, 0, 1024, false,
       STATUS_SUCCESS, 632},
      {"serial number", &kCardReader, 3, 3, 0x0409, 255, false, STATUS_SUCCESS, 28},
      {"string the device lacks", &kCardReader, 3, 9, 0x0409, 255, false, STATUS_UNSUCCESSFUL, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice({.device = row.device, .configure = false}, [&](Rig& rig) {
      std::vector<UCHAR> buffer(row.asked + 1, 0xEE);
      PMDL mdl = nullptr;
      if (row.viaMdl) {
        wk::AsDriver(rig.driver.Driver(), [&] {
          mdl = IoAllocateMdl(buffer.data(), row.asked, FALSE, FALSE, nullptr);
          MmBuildMdlForNonPagedPool(mdl);
        });
      }
      URB urb{};
      UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), row.type,
                                   row.index, row.language, row.viaMdl ? nullptr : buffer.data(),
                                   mdl, row.asked, nullptr);
      EXPECT_EQ(rig.driver.Submit(urb), row.status);
      EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, row.copied);
      EXPECT_EQ(buffer[row.asked], 0xEE) << "written past the buffer";
      if (row.copied != 0) {
        std::vector<UCHAR> full(1024);
        ULONG n = 0;
        if (row.type == 1) n = static_cast<ULONG>(*SerializeDeviceDescriptor(*row.device, full));
        if (row.type == 2) n = static_cast<ULONG>(*SerializeConfiguration(*row.device, full));
        if (row.type == 3) n = static_cast<ULONG>(*SerializeString(*row.device, row.index, full));
        ASSERT_GE(n, row.copied);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + row.copied, full.begin()));
      } else {
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
      }
      if (mdl) wk::AsDriver(rig.driver.Driver(), [&] { IoFreeMdl(mdl); });
    });
  }
}

// ---- bulk transfers -----------------------------------------------------------------

TEST(UsbBusBulk, DeferredCompletesFromTheServiceThreadInlineInTheCaller) {
  struct Row {
    const char* what;
    Completion completion;
    bool dataFirst;
    NTSTATUS returned;
    bool fromServiceThread;
  } rows[] = {
      {"deferred, data waiting", Completion::kDeferred, true, STATUS_PENDING, true},
      {"deferred, data later", Completion::kDeferred, false, STATUS_PENDING, true},
      {"inline, data waiting", Completion::kInline, true, STATUS_SUCCESS, false},
      {"inline, data later", Completion::kInline, false, STATUS_PENDING, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice({.completion = row.completion}, [&](Rig& rig) {
      if (row.dataFirst) rig.model().QueueIn("hello");
      auto r = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
      EXPECT_EQ(r->returned, row.returned);
      if (!row.dataFirst) rig.model().QueueIn("hello");
      EXPECT_EQ(rig.driver.Wait(*r), STATUS_SUCCESS);
      EXPECT_EQ(std::string(r->buffer.begin(), r->buffer.begin() + Transferred(*r)), "hello");
      EXPECT_EQ(r->thread != winsim::host::Current(), row.fromServiceThread);
      EXPECT_EQ(r->irql, row.fromServiceThread ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    });
  }
}

TEST(UsbBusBulk, ShortPacketsEndTransfersAndHaltThePipeWithoutShortTransferOk) {
  struct Row {
    const char* what;
    ULONG flags;
    size_t sent;
    ULONG length;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG transferred;
    bool halts;
  } rows[] = {
      {"short, accepted", USBD_SHORT_TRANSFER_OK, 20, 64, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 20,
       false},
      {"short, not accepted", 0, 20, 64, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN, 20, true},
      {"exactly full", 0, 64, 64, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, false},
      {"two packets, the second short", USBD_SHORT_TRANSFER_OK, 100, 256, STATUS_SUCCESS,
       USBD_STATUS_SUCCESS, 100, false},
      {"packet larger than the transfer", USBD_SHORT_TRANSFER_OK, 20, 10, STATUS_UNSUCCESSFUL,
       USBD_STATUS_DATA_OVERRUN, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      rig.model().QueueIn(std::string(row.sent, 'd'));
      auto r = rig.driver.StartBulk(0x82, row.length, USBD_TRANSFER_DIRECTION_IN | row.flags);
      EXPECT_EQ(rig.driver.Wait(*r), row.status);
      EXPECT_EQ(UrbStatus(*r), row.usbd);
      EXPECT_EQ(Transferred(*r), row.transferred);

      rig.model().QueueIn("next");
      auto next = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
      if (row.halts) {
        EXPECT_EQ(rig.driver.Wait(*next), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(UrbStatus(*next), USBD_STATUS_ENDPOINT_HALTED);
        EXPECT_EQ(rig.model().PacketsQueued(), 1u) << "a halted pipe took data";
        EXPECT_EQ(rig.driver.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x82),
                  STATUS_SUCCESS);
        next = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
      }
      EXPECT_EQ(rig.driver.Wait(*next), STATUS_SUCCESS);
      EXPECT_EQ(Transferred(*next), 4u);
    });
  }
}

TEST(UsbBusBulk, PartialMdlsMoveExactlyTheirWindow) {
  WithDevice([](Rig& rig) {
    std::vector<UCHAR> data = Text("a window of forty bytes in a larger one");
    auto out = rig.driver.StartBulk(0x01, static_cast<ULONG>(data.size()),
                                    USBD_TRANSFER_DIRECTION_OUT, data, true);
    EXPECT_EQ(rig.driver.Wait(*out), STATUS_SUCCESS);
    EXPECT_EQ(rig.model().OutData(), data);

    rig.model().QueueIn("thirty bytes of card data.....");
    auto in = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                   {}, true);
    EXPECT_EQ(rig.driver.Wait(*in), STATUS_SUCCESS);
    ASSERT_EQ(Transferred(*in), 30u);
    std::string window(in->buffer.begin() + 7, in->buffer.begin() + 7 + 30);
    EXPECT_EQ(window, "thirty bytes of card data.....");
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(in->buffer[i], 0xEE) << "guard " << i;
    for (size_t i = 7 + 30; i < in->buffer.size(); ++i) EXPECT_EQ(in->buffer[i], 0xEE);
  });
}

TEST(UsbBusBulk, SlowOutEndpointTakesVirtualTime) {
  WithDevice([](Rig& rig) {
    rig.model().SetOutBehaviour(OutBehaviour::kTakeSlowly, 10);
    std::vector<UCHAR> data(100, 'w');
    ULONGLONG before = KeQueryInterruptTime();
    ULONG transferred = 0;
    EXPECT_EQ(rig.driver.BulkOut(0x01, data, &transferred), STATUS_SUCCESS);
    ULONGLONG elapsed = KeQueryInterruptTime() - before;
    EXPECT_EQ(transferred, 100u);
    EXPECT_GE(elapsed, 10 * 10000u);
    EXPECT_LT(elapsed, 12 * 10000u);
  });
}

TEST(UsbBusBulk, RefusesWhatThePipeCannotCarry) {
  struct Row {
    const char* what;
    UCHAR endpoint;
    ULONG flags;
    ULONG length;
    USBD_STATUS usbd;
  } rows[] = {
      {"IN on the OUT pipe", 0x01, USBD_TRANSFER_DIRECTION_IN, 64, USBD_STATUS_INVALID_PARAMETER},
      {"OUT on the IN pipe", 0x82, USBD_TRANSFER_DIRECTION_OUT, 8, USBD_STATUS_INVALID_PARAMETER},
      {"beyond MaximumTransferSize", 0x01, USBD_TRANSFER_DIRECTION_OUT, 257,
       USBD_STATUS_INVALID_PARAMETER},
      {"no such pipe", 0x05, USBD_TRANSFER_DIRECTION_OUT, 8, USBD_STATUS_INVALID_PIPE_HANDLE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      std::vector<UCHAR> data(row.length, 'o');
      auto r = rig.driver.StartBulk(row.endpoint, row.length, row.flags, data);
      EXPECT_EQ(rig.driver.Wait(*r), STATUS_INVALID_PARAMETER);
      EXPECT_EQ(UrbStatus(*r), row.usbd);
      EXPECT_EQ(Transferred(*r), 0u);
      EXPECT_TRUE(rig.model().OutData().empty());
    });
  }
}

// ---- cancellation, stalls, aborts ---------------------------------------------------

TEST(UsbBusCancel, APendingTransferEndsCancelledWithWhatMovedSoFar) {
  struct Row {
    const char* what;
    UCHAR endpoint;
    OutBehaviour out;
    LONGLONG waitMs;
  } rows[] = {
      {"IN, nothing sent", 0x82, OutBehaviour::kTakeAll, 0},
      {"OUT, never taken", 0x01, OutBehaviour::kNever, 0},
      {"OUT, taken slowly", 0x01, OutBehaviour::kTakeSlowly, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      rig.model().SetOutBehaviour(row.out, 10);
      std::vector<UCHAR> data(100, 'c');
      bool in = USB_ENDPOINT_DIRECTION_IN(row.endpoint);
      auto r = rig.driver.StartBulk(row.endpoint, 100,
                                    in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT,
                                    data);
      LARGE_INTEGER delay;
      delay.QuadPart = -10000 * row.waitMs;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      EXPECT_FALSE(r->completed);
      EXPECT_TRUE(IoCancelIrp(r->irp));
      EXPECT_EQ(rig.driver.Wait(*r), STATUS_CANCELLED);
      EXPECT_EQ(UrbStatus(*r), USBD_STATUS_CANCELED);
      EXPECT_EQ(Transferred(*r), rig.model().OutData().size());
      if (row.waitMs != 0) {
        EXPECT_GT(Transferred(*r), 0u);
      }
    });
  }
}

TEST(UsbBusCancel, CancelRacingWithDataCompletesOnceEitherWay) {
  std::set<NTSTATUS> outcomes;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    WithDevice({.seed = seed}, [&](Rig& rig) {
      auto r = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
      rig.model().QueueIn("abc");
      IoCancelIrp(r->irp);
      NTSTATUS status = rig.driver.Wait(*r);
      outcomes.insert(status);
      if (status == STATUS_SUCCESS) {
        EXPECT_EQ(Transferred(*r), 3u);
        EXPECT_EQ(rig.model().PacketsQueued(), 0u);
      } else {
        EXPECT_EQ(status, STATUS_CANCELLED);
        EXPECT_EQ(Transferred(*r), 0u);
        EXPECT_EQ(rig.model().PacketsQueued(), 1u) << "data lost to a cancelled transfer";
      }
    });
  }
  EXPECT_EQ(outcomes.size(), 2u) << "the seeds never made one side of the race win";
}

TEST(UsbBusStall, HaltsAreClearedOnlyByTheRightReset) {
  struct Row {
    const char* what;
    bool deviceStall;  // else the host halts the pipe after a short packet
    USHORT reset;
    USBD_STATUS after;
  } rows[] = {
      {"stall, reset and clear", true, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
       USBD_STATUS_SUCCESS},
      {"stall, host reset only", true, URB_FUNCTION_SYNC_RESET_PIPE, USBD_STATUS_STALL_PID},
      {"stall, clear only", true, URB_FUNCTION_SYNC_CLEAR_STALL, USBD_STATUS_ENDPOINT_HALTED},
      {"halt, host reset only", false, URB_FUNCTION_SYNC_RESET_PIPE, USBD_STATUS_SUCCESS},
      {"halt, clear only", false, URB_FUNCTION_SYNC_CLEAR_STALL, USBD_STATUS_ENDPOINT_HALTED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      if (row.deviceStall) rig.model().Stall(0x82);
      rig.model().QueueIn("short");
      auto first = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
      EXPECT_EQ(rig.driver.Wait(*first), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(UrbStatus(*first),
                row.deviceStall ? USBD_STATUS_STALL_PID : USBD_STATUS_DATA_UNDERRUN);
      EXPECT_EQ(rig.driver.PipeRequest(row.reset, 0x82), STATUS_SUCCESS);
      bool cleared = row.reset != URB_FUNCTION_SYNC_RESET_PIPE;
      ASSERT_FALSE(rig.model().ControlRequests().empty());
      const SetupPacket& last = rig.model().ControlRequests().back().setup;
      EXPECT_EQ(last.bmRequestType == 0x02 && last.bRequest == USB_REQUEST_CLEAR_FEATURE &&
                    last.wValue == USB_FEATURE_ENDPOINT_STALL && last.wIndex == 0x82,
                cleared);

      rig.model().QueueIn("again");
      auto next = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
      EXPECT_EQ(rig.driver.Wait(*next), NtStatusFromUsbd(row.after));
      EXPECT_EQ(UrbStatus(*next), row.after);
    });
  }
}

TEST(UsbBusStall, AnEndpointThatAlwaysStallsStaysFailedAfterReset) {
  WithDevice([](Rig& rig) {
    rig.model().SetOutBehaviour(OutBehaviour::kStall);
    std::vector<UCHAR> data = Text("ping");
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto r = rig.driver.StartBulk(0x01, 4, USBD_TRANSFER_DIRECTION_OUT, data);
      EXPECT_EQ(rig.driver.Wait(*r), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(UrbStatus(*r), USBD_STATUS_STALL_PID);
      EXPECT_EQ(rig.driver.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0x01),
                STATUS_SUCCESS);
    }
    EXPECT_TRUE(rig.model().OutData().empty());
  });
}

TEST(UsbBusAbort, AbortEndsEveryTransferOnThatPipeOnly) {
  WithDevice([](Rig& rig) {
    rig.model().SetOutBehaviour(OutBehaviour::kNever);
    std::vector<UCHAR> data = Text("held");
    auto in1 = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
    auto in2 = rig.driver.StartBulk(0x82, 64, USBD_TRANSFER_DIRECTION_IN);
    auto out = rig.driver.StartBulk(0x01, 4, USBD_TRANSFER_DIRECTION_OUT, data);
    EXPECT_EQ(rig.driver.PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x82), STATUS_SUCCESS);
    EXPECT_TRUE(in1->completed);
    EXPECT_TRUE(in2->completed);
    EXPECT_EQ(rig.driver.Wait(*in1), STATUS_CANCELLED);
    EXPECT_EQ(rig.driver.Wait(*in2), STATUS_CANCELLED);
    EXPECT_EQ(UrbStatus(*in1), USBD_STATUS_CANCELED);
    EXPECT_FALSE(out->completed);
    EXPECT_EQ(rig.device.PendingRequests(), 1u);
    EXPECT_EQ(rig.driver.PipeRequest(URB_FUNCTION_ABORT_PIPE, 0x01), STATUS_SUCCESS);
    EXPECT_EQ(rig.driver.Wait(*out), STATUS_CANCELLED);
  });
}

// ---- control requests, status, faults ---------------------------------------------------

TEST(UsbBusControl, ClassAndVendorRequestsReachTheDeviceAsSetupPackets) {
  struct Row {
    const char* what;
    USHORT function;
    ULONG flags;
    UCHAR reservedBits;
    UCHAR request;
    USHORT value;
    ULONG length;
    UCHAR bmRequestType;
    bool stalls;
  } rows[] = {
      {"control lines", URB_FUNCTION_CLASS_INTERFACE, 0, 0, kSetControlLineState, 3, 0, 0x21,
       false},
      {"line coding back, 16 asked", URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0,
       kGetLineCoding, 0, 16, 0xA1, false},
      {"class to device", URB_FUNCTION_CLASS_DEVICE, 0, 0, kSetControlLineState, 3, 0, 0x20, true},
      {"class to endpoint", URB_FUNCTION_CLASS_ENDPOINT, 0, 0, 0x01, 0, 0, 0x22, true},
      {"class to other", URB_FUNCTION_CLASS_OTHER, 0, 0, 0x01, 0, 0, 0x23, true},
      {"vendor to device", URB_FUNCTION_VENDOR_DEVICE, 0, 0, 0x01, 0, 0, 0x40, true},
      {"vendor to interface, IN", URB_FUNCTION_VENDOR_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0,
       0x02, 0, 4, 0xC1, true},
      {"vendor to endpoint", URB_FUNCTION_VENDOR_ENDPOINT, 0, 0, 0x03, 0, 0, 0x42, true},
      {"vendor to other, IN", URB_FUNCTION_VENDOR_OTHER, USBD_TRANSFER_DIRECTION_IN, 0, 0x04, 0,
       2, 0xC3, true},
      {"reserved recipient bits", URB_FUNCTION_VENDOR_DEVICE, 0, 4, 0x05, 0, 0, 0x44, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      std::vector<UCHAR> buffer(row.length + 1, 0xEE);
      URB urb{};
      UsbBuildVendorRequest(&urb, row.function,
                            sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), row.flags,
                            row.reservedBits, row.request, row.value, 0,
                            row.length ? buffer.data() : nullptr, nullptr, row.length, nullptr);
      EXPECT_EQ(rig.driver.Submit(urb), row.stalls ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
      EXPECT_EQ(urb.UrbHeader.Status, row.stalls ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS);
      const ControlRecord& seen = rig.model().ControlRequests().back();
      EXPECT_EQ(seen.setup.bmRequestType, row.bmRequestType);
      EXPECT_EQ(seen.setup.bRequest, row.request);
      EXPECT_EQ(seen.setup.wValue, row.value);
      EXPECT_EQ(seen.setup.wLength, row.length);
      EXPECT_EQ(seen.stalled, row.stalls);
      EXPECT_EQ(buffer[row.length], 0xEE);
    });
  }
}

TEST(UsbBusControl, LineCodingAndControlLinesAreRecordedWithTheirData) {
  WithDevice([](Rig& rig) {
    // 9600 baud, one stop bit, no parity, 8 data bits, one byte without meaning.
    std::vector<UCHAR> coding{0x80, 0x25, 0x00, 0x00, 0, 0, 8, 0};
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                          kSetLineCoding, 0, 0, coding.data(), nullptr, 8, nullptr);
    ASSERT_EQ(rig.driver.Submit(urb), STATUS_SUCCESS);
    for (USHORT lines : {2, 3}) {
      UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                            sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                            kSetControlLineState, lines, 0, nullptr, nullptr, 0, nullptr);
      ASSERT_EQ(rig.driver.Submit(urb), STATUS_SUCCESS);
    }
    std::vector<ControlRecord> seen = rig.model().ClassRequests();
    ASSERT_EQ(seen.size(), 3u);
    for (const ControlRecord& r : seen) {
      EXPECT_EQ(r.setup.bmRequestType, 0x21);
      EXPECT_EQ(r.setup.wIndex, 0);
    }
    EXPECT_EQ(seen[0].data, coding);
    EXPECT_EQ(seen[1].setup.wValue, 2);
    EXPECT_EQ(seen[2].setup.wValue, 3);
    EXPECT_EQ(rig.model().CurrentLineCoding().dwDTERate, 9600u);
    EXPECT_EQ(rig.model().ControlLineState(), 3);
  });
}

TEST(UsbBusControl, GetStatusFromEachRecipient) {
  struct Row {
    const char* what;
    USHORT function;
    USHORT index;
    ULONG length;
    bool stallEndpoint;
    NTSTATUS status;
    USHORT value;
  } rows[] = {
      {"device", URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, 2, false, STATUS_SUCCESS, 0},
      {"interface 0", URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 0, 2, false, STATUS_SUCCESS, 0},
      {"halted endpoint", URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, 2, true, STATUS_SUCCESS, 1},
      {"endpoint not there", URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x83, 2, false,
       STATUS_UNSUCCESSFUL, 0},
      {"other", URB_FUNCTION_GET_STATUS_FROM_OTHER, 0, 2, false, STATUS_UNSUCCESSFUL, 0},
      {"four bytes asked", URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, 4, false,
       STATUS_INVALID_PARAMETER, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      if (row.stallEndpoint) rig.model().Stall(0x82);
      size_t before = rig.model().ControlRequests().size();
      UCHAR status[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      URB urb{};
      UsbBuildGetStatusRequest(&urb, row.function, row.index, status, nullptr, nullptr);
      urb.UrbControlGetStatusRequest.TransferBufferLength = row.length;
      EXPECT_EQ(rig.driver.Submit(urb), row.status);
      if (row.status == STATUS_SUCCESS) {
        EXPECT_EQ(status[0] | status[1] << 8, row.value);
        EXPECT_EQ(urb.UrbControlGetStatusRequest.TransferBufferLength, 2u);
      }
      EXPECT_EQ(status[2], 0xEE);
      bool reached = row.status != STATUS_INVALID_PARAMETER;
      EXPECT_EQ(rig.model().ControlRequests().size(), before + (reached ? 1 : 0));
    });
  }
}

// What a test function driver does to meet each kind of request once.
struct Attempt {
  NTSTATUS status;
  USBD_STATUS usbd;
};

Attempt ReadDeviceDescriptor(Rig& rig) {
  UCHAR buffer[18];
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0,
                               buffer, nullptr, 18, nullptr);
  NTSTATUS status = rig.driver.Submit(urb);
  return {status, urb.UrbHeader.Status};
}

Attempt Bulk(Rig& rig, UCHAR endpoint) {
  std::vector<UCHAR> data(4, 'f');
  if (USB_ENDPOINT_DIRECTION_IN(endpoint)) rig.model().QueueIn("in");
  auto r = rig.driver.StartBulk(
      endpoint, 4,
      USB_ENDPOINT_DIRECTION_IN(endpoint) ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                          : USBD_TRANSFER_DIRECTION_OUT,
      data);
  NTSTATUS status = rig.driver.Wait(*r);
  return {status, UrbStatus(*r)};
}

Attempt ControlLines(Rig& rig) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0,
                        kSetControlLineState, 1, 0, nullptr, nullptr, 0, nullptr);
  NTSTATUS status = rig.driver.Submit(urb);
  return {status, urb.UrbHeader.Status};
}

Attempt DeviceStatus(Rig& rig) {
  UCHAR status[2];
  URB urb{};
  UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, status, nullptr, nullptr);
  NTSTATUS nt = rig.driver.Submit(urb);
  return {nt, urb.UrbHeader.Status};
}

Attempt Pipe(Rig& rig, USHORT function) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = rig.driver.Pipe(0x82);
  NTSTATUS status = rig.driver.Submit(urb);
  return {status, urb.UrbHeader.Status};
}

TEST(UsbBusFaults, FailNextFailsOnlyTheNextRequestOfItsKind) {
  struct Row {
    const char* what;
    RequestKind kind;
    USBD_STATUS usbd;
    NTSTATUS nt;  // 0: derived
    NTSTATUS expected;
    Attempt (*attempt)(Rig&);
  } rows[] = {
      {"descriptor", RequestKind::kGetDescriptor, USBD_STATUS_DEV_NOT_RESPONDING, 0,
       STATUS_UNSUCCESSFUL, ReadDeviceDescriptor},
      {"bulk IN", RequestKind::kBulkIn, USBD_STATUS_CRC, 0, STATUS_UNSUCCESSFUL,
       [](Rig& rig) { return Bulk(rig, 0x82); }},
      {"bulk OUT, own status", RequestKind::kBulkOut, USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT,
       STATUS_IO_TIMEOUT, [](Rig& rig) { return Bulk(rig, 0x01); }},
      {"class request", RequestKind::kClassOrVendor, USBD_STATUS_INSUFFICIENT_RESOURCES, 0,
       STATUS_INSUFFICIENT_RESOURCES, ControlLines},
      {"status", RequestKind::kGetStatus, USBD_STATUS_REQUEST_FAILED, 0, STATUS_UNSUCCESSFUL,
       DeviceStatus},
      {"abort", RequestKind::kAbortPipe, USBD_STATUS_ERROR_BUSY, 0, STATUS_DEVICE_BUSY,
       [](Rig& rig) { return Pipe(rig, URB_FUNCTION_ABORT_PIPE); }},
      {"pipe reset", RequestKind::kResetPipe, USBD_STATUS_STALL_PID, 0, STATUS_UNSUCCESSFUL,
       [](Rig& rig) { return Pipe(rig, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL); }},
      {"select", RequestKind::kSelectConfiguration, USBD_STATUS_SET_CONFIG_FAILED, 0,
       STATUS_UNSUCCESSFUL, [](Rig& rig) {
         NTSTATUS status = rig.driver.Configure();
         return Attempt{status, 0};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WithDevice([&](Rig& rig) {
      rig.model().FailNext(row.kind, row.usbd, row.nt);
      Attempt failed = row.attempt(rig);
      EXPECT_EQ(failed.status, row.expected);
      if (row.kind != RequestKind::kSelectConfiguration) {
        EXPECT_EQ(failed.usbd, row.usbd);
      }
      EXPECT_EQ(row.attempt(rig).status, STATUS_SUCCESS);
    });
  }
}

TEST(UsbBusPort, ResetPortResetsTheDeviceAndClearsHostHalts) {
  WithDevice([](Rig& rig) {
    rig.model().QueueIn("short");
    std::vector<UCHAR> data;
    EXPECT_EQ(rig.driver.BulkIn(0x82, 64, 0, &data), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.driver.ResetPort(), STATUS_SUCCESS);
    EXPECT_EQ(rig.model().PortResets(), 1u);
    EXPECT_EQ(rig.model().Configuration(), 1) << "the configuration is restored";
    rig.model().QueueIn("after");
    EXPECT_EQ(rig.driver.BulkIn(0x82, 64, USBD_SHORT_TRANSFER_OK, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, Text("after"));
    rig.model().FailNext(RequestKind::kResetPort, USBD_STATUS_ERROR, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig.driver.ResetPort(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig.model().PortResets(), 1u);
  });
}

}  // namespace
