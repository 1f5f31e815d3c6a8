// Arbitrary device and configuration descriptors through KORVUSB's whole
// life: the reader answers with the fuzzer's bytes (the first 18 as its
// device descriptor, the rest as its configuration), KORVUSB starts on them
// or refuses them, moves a few bytes when it started, and the device is
// pulled out. The verifier, the sanitizers and the teardown check watch.
#include <cstdint>
#include <cstring>

#include "tests/usbdriver/reader_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(USB_DEVICE_DESCRIPTOR)) return 0;
  winsim::usb::DeviceDescription device = winsim::usb::kCardReader;
  std::memcpy(&device.device, data, sizeof device.device);
  device.rawConfiguration = std::span<const UCHAR>(data + sizeof device.device,
                                                   size - sizeof device.device);
  korvtest::ReaderOptions options;
  options.description = &device;
  options.spy = false;
  korvtest::WithReader(
      [](korvtest::Reader& r) {
        if (r.fdo == nullptr) return;
        korvtest::Handle in, out;
        korvtest::Open(r.fdo, in, L"if0pipe1");
        korvtest::Open(r.fdo, out, L"if0pipe0");
        UCHAR buffer[64] = {};
        r.Model().QueueIn("abc");
        korvtest::Pending read, write;
        korvtest::StartRead(r.fdo, in, buffer, read);
        korvtest::StartWrite(r.fdo, out, std::span<const UCHAR>(buffer, 3), write);
        // A device that never answers keeps a transfer waiting; end it as
        // the layer above would.
        korvtest::Sleep(5);
        korvtest::CancelIfPending(read);
        korvtest::CancelIfPending(write);
        korvtest::Wait(read);
        korvtest::Wait(write);
      },
      0, options);
  return 0;
}
