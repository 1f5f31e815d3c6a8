// How a program's buffers reach the driver and come back: reads and writes
// by the device's I/O method, offsets, and device control by the method in
// the control code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "probe.h"
#include "winsim/kernel/fileio.h"

namespace {

namespace wk = winsim::kernel;
using Bytes = std::vector<UCHAR>;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr UCHAR kUntouched = 0xEE;

// One device with the given flags behind \\.\PROBE, opened for the test.
class Device {
 public:
  explicit Device(ULONG flags, DWORD openFlags = 0) {
    driver_ = probe::Load();
    probe::AddDevice(driver_, &probe, L"\\Device\\Probe0", flags);
    probe::Link(L"\\DosDevices\\PROBE", L"\\Device\\Probe0");
    handle = CreateFileW(L"\\\\.\\PROBE", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         openFlags, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    probe.log.clear();
  }
  ~Device() {
    EXPECT_TRUE(CloseHandle(handle));
    probe::Unlink(L"\\DosDevices\\PROBE");
    probe::TearDown(driver_, {&probe});
  }

  probe::Probe probe;
  HANDLE handle;

 private:
  PDRIVER_OBJECT driver_;
};

// ---- reads and writes ---------------------------------------------------------------

enum class Method { kBuffered, kDirect, kNeither };

struct MethodCase {
  const char* what;
  Method method;
  ULONG flags;
};

const MethodCase kMethods[] = {
    {"buffered", Method::kBuffered, DO_BUFFERED_IO},
    {"direct", Method::kDirect, DO_DIRECT_IO},
    {"neither", Method::kNeither, 0},
};

// Checks that the request's buffer reached the driver the way its method says.
void ExpectDelivered(const probe::Probe& p, Method method, void* userBuffer, ULONG length) {
  switch (method) {
    case Method::kBuffered:
      EXPECT_NE(p.systemBuffer, nullptr);
      EXPECT_NE(p.systemBuffer, userBuffer);
      EXPECT_EQ(p.mdl, nullptr);
      break;
    case Method::kDirect:
      ASSERT_NE(p.mdl, nullptr);
      EXPECT_TRUE(p.mdlLocked);
      EXPECT_EQ(p.mdlAddress, userBuffer);
      EXPECT_EQ(p.mdlByteCount, length);
      EXPECT_EQ(p.systemBuffer, nullptr);
      break;
    case Method::kNeither:
      EXPECT_EQ(p.userBuffer, userBuffer);
      EXPECT_EQ(p.systemBuffer, nullptr);
      EXPECT_EQ(p.mdl, nullptr);
      break;
  }
}

class ReadWrite : public ::testing::TestWithParam<MethodCase> {};

TEST_P(ReadWrite, ReadReturnsWhatTheDeviceReportedAndNoMore) {
  wk::Run(0, [&] {
    Device d(GetParam().flags);
    d.probe.readData = {0x10, 0x11, 0x12, 0x13, 0x14};
    UCHAR buffer[16];
    std::memset(buffer, kUntouched, sizeof buffer);
    DWORD n = kSentinel;
    ASSERT_TRUE(ReadFile(d.handle, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(d.probe.length, sizeof buffer);
    EXPECT_EQ(Bytes(buffer, buffer + 5), d.probe.readData);
    EXPECT_EQ(buffer[5], kUntouched);
    ExpectDelivered(d.probe, GetParam().method, buffer, sizeof buffer);
  });
}

TEST_P(ReadWrite, WriteDeliversTheCallersBytes) {
  wk::Run(0, [&] {
    Device d(GetParam().flags);
    const UCHAR data[] = {'C', 'A', 'R', 'D', '\r'};
    DWORD n = kSentinel;
    ASSERT_TRUE(WriteFile(d.handle, data, sizeof data, &n, nullptr));
    EXPECT_EQ(n, sizeof data);
    EXPECT_EQ(d.probe.written, Bytes(data, data + sizeof data));
    EXPECT_EQ(d.probe.length, sizeof data);
    ExpectDelivered(d.probe, GetParam().method, const_cast<UCHAR*>(data), sizeof data);
  });
}

TEST_P(ReadWrite, ZeroLengthRequestsReachTheDriverWithoutBuffers) {
  wk::Run(0, [&] {
    Device d(GetParam().flags);
    DWORD n = kSentinel;
    EXPECT_TRUE(ReadFile(d.handle, nullptr, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(d.probe.systemBuffer, nullptr);
    EXPECT_EQ(d.probe.mdl, nullptr);
    EXPECT_TRUE(WriteFile(d.handle, nullptr, 0, &n, nullptr));
    EXPECT_EQ(d.probe.log, (std::vector<std::string>{"read", "write"}));
    // A missing buffer with a length is refused before the driver sees it.
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(d.handle, nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(d.probe.log.size(), 2u);
  });
}

INSTANTIATE_TEST_SUITE_P(Methods, ReadWrite, ::testing::ValuesIn(kMethods),
                         [](const ::testing::TestParamInfo<MethodCase>& info) {
                           return std::string(info.param.what);
                         });

TEST(Offsets, SynchronousHandleKeepsAPositionAnOverlappedOneTakesTheCallers) {
  wk::Run(0, [] {
    Device d(DO_BUFFERED_IO);
    d.probe.readData = {1, 2, 3};
    UCHAR buffer[8];
    DWORD n;
    ReadFile(d.handle, buffer, sizeof buffer, &n, nullptr);
    EXPECT_EQ(d.probe.byteOffset, 0);
    ReadFile(d.handle, buffer, sizeof buffer, &n, nullptr);
    EXPECT_EQ(d.probe.byteOffset, 3);
    WriteFile(d.handle, buffer, 2, &n, nullptr);
    EXPECT_EQ(d.probe.byteOffset, 6);
    OVERLAPPED at{};
    at.Offset = 0x100;
    at.OffsetHigh = 1;
    ASSERT_TRUE(ReadFile(d.handle, buffer, sizeof buffer, &n, &at));
    EXPECT_EQ(d.probe.byteOffset, 0x100000100LL);
    EXPECT_EQ(at.InternalHigh, 3u);
  });
}

// ---- device control ----------------------------------------------------------------

struct ControlCase {
  const char* what;
  ULONG method;
  NTSTATUS status;        // the driver's answer
  ULONG_PTR information;  // what the driver reports
  DWORD outLength;
  BOOL result;
  DWORD error;     // when result is FALSE
  DWORD returned;  // lpBytesReturned: 0 after an error
  size_t copied;   // bytes of the driver's output the caller sees
};

const ControlCase kControls[] = {
    {"buffered", METHOD_BUFFERED, STATUS_SUCCESS, 6, 16, TRUE, 0, 6, 6},
    {"buffered, report beyond the output", METHOD_BUFFERED, STATUS_SUCCESS, 12, 8, TRUE, 0, 12, 8},
    {"buffered, overflow warning", METHOD_BUFFERED, STATUS_BUFFER_OVERFLOW, 8, 8, FALSE,
     ERROR_MORE_DATA, 8, 8},
    {"buffered, error", METHOD_BUFFERED, STATUS_INVALID_PARAMETER, 6, 16, FALSE,
     ERROR_INVALID_PARAMETER, 0, 0},
    {"buffered, output smaller than input", METHOD_BUFFERED, STATUS_SUCCESS, 2, 2, TRUE, 0, 2, 2},
    {"buffered, no output", METHOD_BUFFERED, STATUS_SUCCESS, 0, 0, TRUE, 0, 0, 0},
    {"out direct", METHOD_OUT_DIRECT, STATUS_SUCCESS, 6, 16, TRUE, 0, 6, 16},
    {"out direct, error", METHOD_OUT_DIRECT, STATUS_DEVICE_NOT_CONNECTED, 4, 16, FALSE,
     ERROR_DEVICE_NOT_CONNECTED, 0, 16},
    {"in direct", METHOD_IN_DIRECT, STATUS_SUCCESS, 0, 16, TRUE, 0, 0, 0},
    {"neither", METHOD_NEITHER, STATUS_SUCCESS, 6, 16, TRUE, 0, 6, 16},
};

class Control : public ::testing::TestWithParam<ControlCase> {};

// The driver checks the input where the method puts it and writes 16 bytes
// of output where the method puts it (through the MDL, which is the caller's
// buffer, for direct methods; only METHOD_BUFFERED copies, and only what the
// driver reports, up to the output length, and not on error).
TEST_P(Control, InputArrivesAndOutputReturnsByTheCodesMethod) {
  const ControlCase& c = GetParam();
  wk::Run(0, [&] {
    Device d(DO_BUFFERED_IO);  // the device's flags do not matter to control requests
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, c.method, FILE_ANY_ACCESS);
    const UCHAR input[] = {0xA0, 0xA1, 0xA2};
    const UCHAR reply[16] = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
                             0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF};
    UCHAR output[16];
    std::memset(output, kUntouched, sizeof output);
    if (c.method == METHOD_IN_DIRECT) std::memcpy(output, reply, sizeof output);

    Bytes seenInput, seenOutputData;
    d.probe.control = [&](PIRP irp, PIO_STACK_LOCATION s) {
      EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, code);
      EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, sizeof input);
      EXPECT_EQ(s->Parameters.DeviceIoControl.OutputBufferLength, c.outLength);
      const UCHAR* in =
          c.method == METHOD_NEITHER
              ? static_cast<const UCHAR*>(s->Parameters.DeviceIoControl.Type3InputBuffer)
              : static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      seenInput.assign(in, in + sizeof input);
      UCHAR* out = nullptr;
      if (c.method == METHOD_BUFFERED) out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
      if (c.method == METHOD_NEITHER) out = static_cast<UCHAR*>(irp->UserBuffer);
      if ((c.method == METHOD_IN_DIRECT || c.method == METHOD_OUT_DIRECT) && c.outLength) {
        EXPECT_TRUE(irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
        out =
            static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      }
      if (c.method == METHOD_IN_DIRECT) {
        seenOutputData.assign(out, out + c.outLength);  // data for the device
      } else if (out != nullptr) {
        // A buffered request's one buffer is as large as the larger of the two.
        ULONG room =
            c.method == METHOD_BUFFERED && sizeof input > c.outLength ? sizeof input : c.outLength;
        std::memcpy(out, reply, room < sizeof reply ? room : sizeof reply);
      }
      irp->IoStatus.Information = c.information;
      return c.status;
    };

    DWORD returned = kSentinel;
    SetLastError(kSentinel);
    BOOL ok = DeviceIoControl(d.handle, code, const_cast<UCHAR*>(input), sizeof input,
                              c.outLength ? output : nullptr, c.outLength, &returned, nullptr);
    EXPECT_EQ(ok, c.result);
    EXPECT_EQ(GetLastError(), c.result ? kSentinel : c.error);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(seenInput, Bytes(input, input + sizeof input));
    if (c.method == METHOD_IN_DIRECT) {
      EXPECT_EQ(seenOutputData, Bytes(reply, reply + c.outLength));
    } else {
      EXPECT_EQ(Bytes(output, output + c.copied), Bytes(reply, reply + c.copied));
      if (c.copied < sizeof output) {
        EXPECT_EQ(output[c.copied], kUntouched);
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Methods, Control, ::testing::ValuesIn(kControls),
                         [](const ::testing::TestParamInfo<ControlCase>& info) {
                           return "case" + std::to_string(info.index);
                         });

}  // namespace
