// Pipe recovery: three passes always, a port reset in each pass whose pipe
// reset failed, and none at all after a submission that found the device
// gone or the request cancelled.
#include <gtest/gtest.h>

#include "tests/usbdriver/reader_fixture.h"

namespace korvtest {
namespace {

TEST(KorvUsbRecovery, SecondOpenOfAPipeRecoversItThreeTimes) {
  struct Case {
    const char* what;
    bool pipeResetFails;
    size_t portResets;
  };
  for (Case c : {Case{"pipe resets succeed", false, 0}, Case{"pipe resets fail", true, 3}}) {
    WithReader([&](Reader& r) {
      Handle first, second;
      ASSERT_EQ(Open(r.fdo, first, L"if0pipe1"), STATUS_SUCCESS);
      if (c.pipeResetFails) {
        r.spy->failures[URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL] = {STATUS_UNSUCCESSFUL};
      }
      r.spy->records.clear();
      EXPECT_EQ(Open(r.fdo, second, L"if0pipe1"), STATUS_INVALID_PARAMETER) << c.what;
      EXPECT_EQ(r.spy->Count("reset-pipe"), 3u) << c.what;
      EXPECT_EQ(r.spy->Count("reset-port"), c.portResets) << c.what;
      r.spy->failures.clear();
      r.Model().QueueIn("ok");
      UCHAR buffer[64];
      ULONG_PTR got = 0;
      EXPECT_EQ(Read(r.fdo, first, buffer, &got), STATUS_SUCCESS) << "the first handle still works";
      EXPECT_EQ(got, 2u);
    });
  }
}

TEST(KorvUsbRecovery, FailedFirstSubmissionRecoversUnlessTheDeviceIsGoneOrTheRequestCancelled) {
  struct Case {
    NTSTATUS status;
    size_t pipeResets;
  };
  for (Case c : {Case{STATUS_UNSUCCESSFUL, 3}, Case{STATUS_DEVICE_NOT_CONNECTED, 0},
                 Case{STATUS_CANCELLED, 0}}) {
    WithReader([&](Reader& r) {
      Handle out;
      ASSERT_EQ(Open(r.fdo, out, L"if0pipe0"), STATUS_SUCCESS);
      r.spy->failures[URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER] = {c.status};
      r.spy->records.clear();
      static const UCHAR kData[10] = {1, 2, 3};
      ULONG_PTR written = 99;
      EXPECT_EQ(Write(r.fdo, out, kData, &written), c.status);
      EXPECT_EQ(written, 0u);
      EXPECT_EQ(r.spy->Count("reset-pipe"), c.pipeResets) << std::hex << c.status;
      EXPECT_EQ(r.spy->Count("reset-port"), 0u);
    });
  }
}

}  // namespace
}  // namespace korvtest
