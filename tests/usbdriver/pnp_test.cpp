// Plug and Play: both columns of the state table, the waits of query-remove
// and removal, what stop, surprise removal and removal do to the device.
#include <gtest/gtest.h>

#include "tests/usbdriver/reader_fixture.h"

namespace korvtest {
namespace {

namespace wk = winsim::kernel;

struct Flags {
  bool started, stopPending, removePending;
  bool operator==(const Flags&) const = default;
};

Flags FlagsOf(const korvusb::KORVUSB_EXTENSION* ext) {
  return {ext->Started != 0, ext->StopPending != 0, ext->RemovePending != 0};
}

struct PnpCase {
  const char* what;
  UCHAR minor;
  Flags whenStarted;  // flags after the request on a started device
};

const PnpCase kCases[] = {
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE, {true, true, false}},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE, {true, false, false}},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE, {true, false, true}},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE, {true, false, false}},
};

TEST(KorvUsbPnp, QueriesAndCancelsSetFlagsOnlyWhenStarted) {
  WithReader([](Reader& r) {
    for (const PnpCase& c : kCases) {
      EXPECT_EQ(Pnp(r.fdo, c.minor), STATUS_SUCCESS) << c.what;
      EXPECT_EQ(FlagsOf(r.Ext()), c.whenStarted) << c.what;
    }
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    for (const PnpCase& c : kCases) {
      EXPECT_EQ(Pnp(r.fdo, c.minor), STATUS_SUCCESS) << c.what << " when stopped";
      EXPECT_EQ(FlagsOf(r.Ext()), (Flags{false, false, false})) << c.what << " when stopped";
    }
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(r.Ext()->Started);
  });
}

TEST(KorvUsbPnp, CapabilitiesGoUpWithSurpriseRemovalOkOnlyWhenStarted) {
  WithReader([](Reader& r) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK) << "the bus says no; the started driver says yes";
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    DEVICE_CAPABILITIES stopped{};
    stopped.Size = sizeof stopped;
    stopped.Version = 1;
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_QUERY_CAPABILITIES, &stopped), STATUS_SUCCESS);
    EXPECT_FALSE(stopped.SurpriseRemovalOK);
    EXPECT_EQ(Pnp(r.fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  });
}

// Query-remove finishes only when the outstanding read has; query-stop only
// closes the door to new requests.
TEST(KorvUsbPnp, QueryRemoveWaitsForTheOutstandingRequestQueryStopDoesNot) {
  for (uint64_t seed : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
    WithReader(
        [](Reader& r) {
          Handle in;
          ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
          UCHAR buffer[64];
          Pending read;
          StartRead(r.fdo, in, buffer, read);
          EXPECT_EQ(Pnp(r.fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
          Handle other;
          EXPECT_EQ(Open(r.fdo, other, L"if0pipe0"), STATUS_DELETE_PENDING);
          EXPECT_EQ(Pnp(r.fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
          NTSTATUS queryRemove = STATUS_PENDING;
          winsim::kernel::StartThread("pnp", [&] { queryRemove = Pnp(r.fdo, IRP_MN_QUERY_REMOVE_DEVICE); });
          Sleep(50);
          EXPECT_EQ(queryRemove, STATUS_PENDING) << "query-remove must wait for the read";
          EXPECT_FALSE(read.Finished());
          r.Model().QueueIn("swipe");
          ULONG_PTR got = 0;
          EXPECT_EQ(Wait(read, &got), STATUS_SUCCESS);
          EXPECT_EQ(got, 5u);
          Sleep(50);
          EXPECT_EQ(queryRemove, STATUS_SUCCESS);
          EXPECT_EQ(Pnp(r.fdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
        },
        seed);
  }
}

TEST(KorvUsbPnp, StopAbortsOpenPipesAndUnconfiguresThenStartBuildsAFreshTable) {
  WithReader([](Reader& r) {
    Handle in;
    ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
    UCHAR buffer[64];
    Pending read;
    StartRead(r.fdo, in, buffer, read);
    r.spy->records.clear();
    EXPECT_EQ(wk::StopAndRestartDevice(r.node), STATUS_SUCCESS);
    EXPECT_EQ(Wait(read), STATUS_CANCELLED);
    std::vector<std::string> whats = r.spy->Whats();
    ASSERT_GE(whats.size(), 2u);
    EXPECT_EQ(whats[0], "abort-pipe");
    EXPECT_EQ(std::count(whats.begin(), whats.end(), "unconfigure"), 1);
    EXPECT_EQ(r.spy->Count("get-descriptor"), 2u) << "the restart reads the descriptors anew";
    EXPECT_EQ(r.Ext()->OpenPipeCount, 0);
    for (ULONG p = 0; p < r.Ext()->Interfaces[0].PipeCount; ++p) {
      EXPECT_EQ(r.Ext()->Interfaces[0].Pipes[p].OpenCount, 0);
    }
    EXPECT_EQ(r.Model().Configuration(), 1);
  });
}

TEST(KorvUsbPnp, SurpriseRemovalAndRemovalDoNotUnconfigure) {
  for (bool surprise : {true, false}) {
    WithReader([&](Reader& r) {
      Handle in;
      ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
      r.spy->records.clear();
      if (surprise) {
        r.bus->Unplug(*r.device);
      } else {
        ASSERT_EQ(Close(r.fdo, in), STATUS_SUCCESS);
        ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
        EXPECT_EQ(wk::RemoveDevice(r.node), STATUS_SUCCESS);
      }
      EXPECT_EQ(r.spy->Count("unconfigure"), 0u);
      EXPECT_EQ(r.spy->Count("abort-pipe"), 1u);
      EXPECT_EQ(wk::StateOf(r.node), wk::DeviceState::kRemoved);
    });
  }
}

// The verifier stops a run whose device object is deleted with a request
// inside; under many interleavings the read in flight completes first.
TEST(KorvUsbPnp, RemovalDeletesTheDeviceOnlyAfterTheLastRequest) {
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    WithReader(
        [](Reader& r) {
          Handle in, out;
          ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
          ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);
          r.Model().SetOutBehaviour(winsim::usb::OutBehaviour::kNever);
          UCHAR buffer[64];
          static const UCHAR kData[300] = {};
          Pending read, write;
          StartRead(r.fdo, in, buffer, read);
          StartWrite(r.fdo, out, kData, write);
          r.bus->Unplug(*r.device);
          EXPECT_NE(Wait(read), STATUS_SUCCESS);
          EXPECT_NE(Wait(write), STATUS_SUCCESS);
        },
        seed);
  }
}

}  // namespace
}  // namespace korvtest
