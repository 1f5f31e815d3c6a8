// Start: the descriptors read, the configuration selected, the tables built,
// and a hostile or failing device never getting past the checks.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/usbdriver/reader_fixture.h"
#include "winsim/usb/device_model.h"

namespace korvtest {
namespace {

namespace usb = winsim::usb;

std::vector<ULONG> DescriptorReads(const Spy& spy) {
  std::vector<ULONG> lengths;
  for (const SpyRecord& r : spy.records) {
    if (r.what == "get-descriptor") lengths.push_back(r.length);
  }
  return lengths;
}

TEST(KorvUsbStart, DefaultDeviceReadsDescriptorsOnceAndBuildsOneInterfaceOfTwoPipes) {
  WithReader([](Reader& r) {
    ASSERT_NE(r.fdo, nullptr);
    EXPECT_TRUE(r.Ext()->Started);
    EXPECT_EQ(DescriptorReads(*r.spy), (std::vector<ULONG>{18, 521}));
    EXPECT_EQ(r.spy->Count("select-configuration"), 1u);
    ASSERT_EQ(r.Ext()->InterfaceCount, 1u);
    const korvusb::KORVUSB_INTERFACE_ENTRY& iface = r.Ext()->Interfaces[0];
    ASSERT_EQ(iface.PipeCount, 2u);
    EXPECT_EQ(iface.Pipes[0].PipeInfo.EndpointAddress, 0x01);  // bulk OUT first
    EXPECT_EQ(iface.Pipes[1].PipeInfo.EndpointAddress, 0x82);
    for (ULONG p = 0; p < iface.PipeCount; ++p) {
      EXPECT_EQ(iface.Pipes[p].PipeInfo.MaximumTransferSize, 256u);
      EXPECT_EQ(iface.Pipes[p].OpenCount, 0);
    }
    EXPECT_EQ(r.Ext()->DeviceDescriptor->idVendor, 0x2E6B);
    EXPECT_EQ(r.Model().Configuration(), 1);
  });
}

TEST(KorvUsbStart, LongConfigurationIsReadAgainWithExactlyItsTotalLength) {
  ReaderOptions options;
  options.description = &usb::kCardReaderLongConfiguration;
  WithReader(
      [](Reader& r) {
        ASSERT_TRUE(r.Ext()->Started);
        ULONG total = r.Ext()->ConfigurationDescriptor->wTotalLength;
        ASSERT_GT(total, 521u);
        EXPECT_EQ(DescriptorReads(*r.spy), (std::vector<ULONG>{18, 521, total}));
      },
      0, options);
}

TEST(KorvUsbStart, TwoInterfacesGiveTwoEntriesAndTheSecondInterfaceNumber) {
  ReaderOptions options;
  options.description = &usb::kCardReaderTwoInterfaces;
  WithReader(
      [](Reader& r) {
        ASSERT_TRUE(r.Ext()->Started);
        EXPECT_EQ(r.Ext()->InterfaceCount, 2u);
        EXPECT_EQ(r.Ext()->InterfaceNumber,
                  usb::kCardReaderTwoInterfaces.interfaces[1].number);
        for (ULONG i = 0; i < r.Ext()->InterfaceCount; ++i) {
          for (ULONG p = 0; p < r.Ext()->Interfaces[i].PipeCount; ++p) {
            EXPECT_EQ(r.Ext()->Interfaces[i].Pipes[p].PipeInfo.MaximumTransferSize, 256u);
          }
        }
      },
      0, options);
}

// A device may send anything. What it sends in bounds but describes less
// than it claims is used as far as it goes; everything else fails the start
// without the driver reading outside what it received (the sanitizers watch
// the reads, the teardown check the memory).
TEST(KorvUsbStart, MalformedConfigurationsAreRefusedOrUsedAsFarAsTheyAreSound) {
  // The bus refuses a selection whose interfaces do not match bNumInterfaces.
  const std::set<std::string> usable = {"interface claims three endpoints, two follow"};
  for (const usb::MalformedCase& c : usb::MalformedDevices()) {
    SCOPED_TRACE(c.what);
    ReaderOptions options;
    options.description = c.device;
    bool startable = usable.count(c.what) != 0;
    WithReader(
        [&](Reader& r) {
          if (startable) {
            ASSERT_NE(r.fdo, nullptr) << c.what;
            EXPECT_EQ(r.Ext()->InterfaceCount, 1u);
            EXPECT_EQ(r.Ext()->Interfaces[0].PipeCount, 2u);
            return;
          }
          EXPECT_EQ(r.fdo, nullptr) << "a failed start tears the stack down";
          EXPECT_EQ(winsim::kernel::StateOf(r.node), winsim::kernel::DeviceState::kNotStarted);
        },
        0, options);
  }
}

TEST(KorvUsbStart, FailedDescriptorRequestsFailTheStartWithTheirStatus) {
  struct Case {
    const char* what;
    int skip;  // descriptor requests let through first
  };
  for (Case c : {Case{"device descriptor", 0}, Case{"configuration descriptor", 1}}) {
    SCOPED_TRACE(c.what);
    ReaderOptions options;
    options.failures[URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE] = {STATUS_IO_TIMEOUT, c.skip};
    WithReader(
        [&](Reader& r) {
          EXPECT_EQ(r.fdo, nullptr);
          r.spy->failures[URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE] = {STATUS_IO_DEVICE_ERROR,
                                                                      c.skip};
          EXPECT_EQ(winsim::kernel::StartDevice(r.node), STATUS_IO_DEVICE_ERROR);
          r.spy->failures.clear();
          EXPECT_EQ(winsim::kernel::StartDevice(r.node), STATUS_SUCCESS);
        },
        0, options);
  }
}

// Whichever allocation of the driver fails while it is added and started,
// the start fails with STATUS_INSUFFICIENT_RESOURCES and the driver unloads
// with nothing left (the verifier's unload check); later ones succeed.
TEST(KorvUsbStart, EveryAllocationFailureDuringAddAndStartIsCleanedUp) {
  ReaderOptions options;
  options.failures[URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE] = {STATUS_IO_TIMEOUT, 0};
  WithReader(
      [](Reader& r) {
        r.spy->failures.clear();
        int failed = 0;
        for (int n = 1; n < 100; ++n) {
          SCOPED_TRACE("allocation " + std::to_string(n));
          int seen = 0;
          winsim::kernel::SetPoolFailurePolicy([&](const winsim::kernel::PoolRequest& req) {
            return req.driver == "KORVUSB" && ++seen == n;
          });
          NTSTATUS status = winsim::kernel::StartDevice(r.node);
          winsim::kernel::SetPoolFailurePolicy(nullptr);
          if (NT_SUCCESS(status)) break;
          EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
          ++failed;
        }
        EXPECT_GE(failed, 5) << "the add and start allocate at least five blocks";
        EXPECT_EQ(winsim::kernel::StateOf(r.node), winsim::kernel::DeviceState::kStarted);
      },
      0, options);
}

TEST(KorvUsbStart, AddDeviceWithoutALowerDeviceUndoesEverything) {
  ReaderOptions options;
  options.spy = false;
  options.beforePlug = [] { winsim::kernel::FailNextAttach(); };
  WithReader(
      [](Reader& r) {
        EXPECT_EQ(r.fdo, nullptr);
        EXPECT_TRUE(winsim::kernel::InterfaceLinks(kKorvUsbInterfaceGuid, false).size() <= 1);
        EXPECT_TRUE(winsim::kernel::InterfaceLinks(kKorvUsbInterfaceGuid).empty())
            << "the interface was disabled again";
        EXPECT_EQ(winsim::kernel::StartDevice(r.node), STATUS_SUCCESS) << "a later add works";
      },
      0, options);
}

}  // namespace
}  // namespace korvtest
