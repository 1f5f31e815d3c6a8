// Pipe handles and staged bulk transfers.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/usbdriver/reader_fixture.h"

namespace korvtest {
namespace {

namespace usb = winsim::usb;
namespace wk = winsim::kernel;

std::vector<ULONG> BulkLengths(const Spy& spy, const char* what) {
  std::vector<ULONG> lengths;
  for (const SpyRecord& r : spy.records) {
    if (r.what == what) lengths.push_back(r.length);
  }
  return lengths;
}

std::vector<UCHAR> Pattern(size_t n) {
  std::vector<UCHAR> data(n);
  std::iota(data.begin(), data.end(), static_cast<UCHAR>(1));
  return data;
}

TEST(KorvUsbPipes, NamesPickInterfaceAndPipeByTheirFirstTwoDigitRuns) {
  struct Case {
    const wchar_t* name;
    NTSTATUS status;
    int pipe = -1;  // the pipe of interface 0 it binds
  };
  const Case cases[] = {
      {L"if0pipe0", STATUS_SUCCESS, 0},
      {L"if0pipe1", STATUS_SUCCESS, 1},
      {L"\\x0y1tail99", STATUS_SUCCESS, 1},  // only the two digit runs count
      {L"if0pipe2", STATUS_INVALID_PARAMETER},  // pipe out of range
      {L"if1pipe0", STATUS_INVALID_PARAMETER},  // interface out of range
      {L"ifpipe", STATUS_INVALID_PARAMETER},    // no digits
      {L"if0pipe", STATUS_INVALID_PARAMETER},   // one digit run
      {L"01", STATUS_INVALID_PARAMETER},        // one run of two digits
      {L"if0pipe4294967297", STATUS_INVALID_PARAMETER},  // too big: no wrap to 1
  };
  WithReader([&](Reader& r) {
    for (const Case& c : cases) {
      Handle h;
      EXPECT_EQ(Open(r.fdo, h, c.name), c.status) << std::string(c.name, c.name + wcslen(c.name));
      if (NT_SUCCESS(c.status)) {
        EXPECT_EQ(h.file.FsContext, &r.Ext()->Interfaces[0].Pipes[c.pipe]);
        EXPECT_EQ(Close(r.fdo, h), STATUS_SUCCESS);
      } else {
        EXPECT_EQ(h.file.FsContext, nullptr) << "a refused open binds nothing";
      }
    }
    EXPECT_EQ(r.Ext()->OpenPipeCount, 0);
  });
}

TEST(KorvUsbPipes, OneWholeDeviceHandleAtATime) {
  WithReader([](Reader& r) {
    Handle a, b;
    EXPECT_EQ(Open(r.fdo, a, L""), STATUS_SUCCESS);
    EXPECT_EQ(Open(r.fdo, b, L""), STATUS_INVALID_PARAMETER);
    UCHAR buffer[8];
    ULONG_PTR got;
    EXPECT_EQ(Read(r.fdo, a, buffer, &got), STATUS_INVALID_HANDLE) << "no pipe behind it";
    EXPECT_EQ(Close(r.fdo, a), STATUS_SUCCESS);
    EXPECT_EQ(Open(r.fdo, b, L""), STATUS_SUCCESS);
    EXPECT_EQ(Close(r.fdo, b), STATUS_SUCCESS);
  });
}

TEST(KorvUsbPipes, TransfersMoveInStagesOf256FromTheCallersPages) {
  WithReader([](Reader& r) {
    Handle in, out;
    ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
    ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);
    std::vector<UCHAR> data = Pattern(600);
    r.spy->records.clear();
    ULONG_PTR written = 0;
    EXPECT_EQ(Write(r.fdo, out, data, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 600u);
    EXPECT_EQ(BulkLengths(*r.spy, "bulk-out"), (std::vector<ULONG>{256, 256, 88}));
    EXPECT_EQ(r.Model().OutData(), data);
    r.Model().QueueIn(std::string(64, 'x'));
    UCHAR buffer[64];
    ULONG_PTR got = 0;
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 64u);
    EXPECT_EQ(BulkLengths(*r.spy, "bulk-in"), (std::vector<ULONG>{64}));
  });
}

// A short stage ends the read: what is reported is exactly what arrived, at
// the start of the buffer, and nothing past it was touched.
TEST(KorvUsbPipes, ShortStageEndsTheReadWithContiguousData) {
  WithReader([](Reader& r) {
    Handle in;
    ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
    std::vector<UCHAR> first = Pattern(256);
    r.Model().QueueIn(std::span<const UCHAR>(first.data(), 256));
    r.Model().QueueIn("tail!");
    r.Model().QueueIn("next transfer");
    std::vector<UCHAR> buffer(600, 0xEE);
    ULONG_PTR got = 0;
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 261u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.begin()));
    EXPECT_EQ(std::string(buffer.begin() + 256, buffer.begin() + 261), "tail!");
    EXPECT_EQ(buffer[261], 0xEE);
    EXPECT_EQ(r.Model().PacketsQueued(), 1u) << "the third stage was never sent";
  });
}

TEST(KorvUsbPipes, ZeroLengthTransfersAreRefused) {
  WithReader([](Reader& r) {
    Handle out;
    ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);
    ULONG_PTR written = 7;
    EXPECT_EQ(Write(r.fdo, out, std::span<const UCHAR>(), &written),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(written, 0u);
  });
}

// A cancelled write reports the stages that reached the device; the next
// write recovers the pipe first. A cancelled read does not make the next read
// recover; a read that failed with a device error does.
TEST(KorvUsbPipes, FailedTransfersSetTheFlagsThatRecoverTheNextOne) {
  WithReader([](Reader& r) {
    Handle in, out;
    ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
    ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);

    r.Model().SetOutBehaviour(usb::OutBehaviour::kTakeSlowly, 64);  // 256 bytes in 4 ms
    std::vector<UCHAR> data = Pattern(600);
    Pending write;
    StartWrite(r.fdo, out, data, write);
    Sleep(6);  // the first stage is in, the second is on its way
    IoCancelIrp(write.irp);
    ULONG_PTR written = 0;
    EXPECT_EQ(Wait(write, &written), STATUS_CANCELLED);
    EXPECT_EQ(written, 256u);
    r.Model().SetOutBehaviour(usb::OutBehaviour::kTakeAll);
    r.spy->records.clear();
    EXPECT_EQ(Write(r.fdo, out, std::span<const UCHAR>(data.data(), 10), &written),
              STATUS_SUCCESS);
    EXPECT_EQ(r.spy->Count("reset-pipe"), 3u) << "a cancelled write recovers the next";

    UCHAR buffer[64];
    Pending read;
    StartRead(r.fdo, in, buffer, read);
    Sleep(1);
    IoCancelIrp(read.irp);
    EXPECT_EQ(Wait(read), STATUS_CANCELLED);
    r.Model().QueueIn("a");
    r.spy->records.clear();
    ULONG_PTR got;
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(r.spy->Count("reset-pipe"), 0u) << "a cancelled read does not";

    r.spy->failures[URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER] = {STATUS_DEVICE_DATA_ERROR};
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_DEVICE_DATA_ERROR);
    r.spy->failures.clear();
    r.Model().QueueIn("b");
    r.spy->records.clear();
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(r.spy->Count("reset-pipe"), 3u) << "a device error recovers the next read";
  });
}

// Handles that outlive the table they were opened on fail cleanly; under
// the address sanitizer this also shows nothing reads the released table.
TEST(KorvUsbPipes, HandlesOutlivingAStopAreRefusedUntilOpenedAgain) {
  WithReader([](Reader& r) {
    Handle in;
    ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
    ASSERT_EQ(wk::StopAndRestartDevice(r.node), STATUS_SUCCESS);
    UCHAR buffer[64];
    ULONG_PTR got;
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Write(r.fdo, in, std::span<const UCHAR>(buffer, 4), &got), STATUS_INVALID_HANDLE);
    ULONG_PTR info;
    EXPECT_EQ(Control(r.fdo, IOCTL_KORVUSB_RESET_PIPE, {}, {}, &info, &in), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS) << "a new create binds it again";
    r.Model().QueueIn("again");
    EXPECT_EQ(Read(r.fdo, in, buffer, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    Handle stale;
    ASSERT_EQ(Open(r.fdo, stale, L"if0pipe0"), STATUS_SUCCESS);
    ASSERT_EQ(wk::StopAndRestartDevice(r.node), STATUS_SUCCESS);
    EXPECT_EQ(Close(r.fdo, stale), STATUS_SUCCESS) << "close is never refused";
    EXPECT_EQ(r.Ext()->OpenPipeCount, 0);
  });
}

// Transfers racing a surprise removal (odd seeds) or an orderly removal
// (even seeds) all complete, the removal waits for them, and nothing leaks,
// whatever the interleaving.
TEST(KorvUsbPipes, TransfersRacingRemovalAllComplete) {
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    bool surprise = seed % 2 == 1;
    WithReader(
        [&](Reader& r) {
          Handle in, out;
          ASSERT_EQ(Open(r.fdo, in, L"if0pipe1"), STATUS_SUCCESS);
          ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);
          r.Model().SetOutBehaviour(usb::OutBehaviour::kTakeSlowly, 100);
          static const UCHAR kData[700] = {};
          UCHAR buffer[64];
          Pending write, read;
          r.Model().QueueIn("1234");
          StartWrite(r.fdo, out, kData, write);
          StartRead(r.fdo, in, buffer, read);
          KEVENT removed;
          KeInitializeEvent(&removed, NotificationEvent, FALSE);
          wk::StartThread("remover", [&] {
            if (surprise) {
              r.bus->Unplug(*r.device);
            } else {
              EXPECT_EQ(wk::RemoveDevice(r.node), STATUS_SUCCESS);
            }
            KeSetEvent(&removed, IO_NO_INCREMENT, FALSE);
          });
          NTSTATUS wrote = Wait(write);
          NTSTATUS got = Wait(read);
          KeWaitForSingleObject(&removed, Executive, KernelMode, FALSE, nullptr);
          if (!surprise) {
            EXPECT_EQ(wrote, STATUS_SUCCESS) << "query-remove lets the write finish";
            EXPECT_EQ(got, STATUS_SUCCESS);
          }
          EXPECT_EQ(wk::StateOf(r.node), wk::DeviceState::kRemoved);
        },
        seed);
  }
}

}  // namespace
}  // namespace korvtest
