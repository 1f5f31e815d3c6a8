// A started KORVUSB against arbitrary handle names and device-control
// requests: each input is a short program of opens, control requests,
// reads, writes and closes with the fuzzer's codes, lengths and bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/usbdriver/reader_fixture.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w |= static_cast<uint32_t>(Byte()) << (8 * i);
    return w;
  }
  std::vector<UCHAR> Bytes(size_t n) {
    std::vector<UCHAR> b;
    while (n-- > 0) b.push_back(Byte());
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Codes near the driver's own, or anything.
ULONG Code(Input& in) {
  uint8_t pick = in.Byte();
  if (pick < 200) return 0x220000 + (pick % 12) * 4 + (pick & 3 ? (pick >> 6) : 0);
  return in.Word();
}

void Run(korvtest::Reader& r, Input& in) {
  korvtest::Handle handles[3];
  for (int step = 0; step < 24 && !in.Empty(); ++step) {
    korvtest::Handle& h = handles[in.Byte() % 3];
    ULONG_PTR info;
    switch (in.Byte() % 5) {
      case 0: {
        std::wstring name;
        for (size_t n = in.Byte() % 12; n > 0; --n) name += static_cast<wchar_t>(in.Byte());
        korvtest::Open(r.fdo, h, name.c_str());
        break;
      }
      case 1: {
        ULONG code = Code(in);
        std::vector<UCHAR> input = in.Bytes(in.Byte() % 40);
        std::vector<UCHAR> output(in.Byte() % 600);
        korvtest::Control(r.fdo, code, input, output, &info, &h);
        break;
      }
      case 2: {
        std::vector<UCHAR> buffer(in.Byte() * 3);
        r.Model().QueueIn(in.Bytes(in.Byte() % 70));
        korvtest::Pending read;
        korvtest::StartRead(r.fdo, h, buffer, read);
        korvtest::Sleep(2);
        korvtest::CancelIfPending(read);
        korvtest::Wait(read, &info);
        break;
      }
      case 3: {
        std::vector<UCHAR> data = in.Bytes(in.Byte() * 3);
        korvtest::Pending write;
        korvtest::StartWrite(r.fdo, h, data, write);
        korvtest::Sleep(2);
        korvtest::CancelIfPending(write);
        korvtest::Wait(write, &info);
        break;
      }
      default:
        korvtest::Close(r.fdo, h);
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvtest::ReaderOptions options;
  options.spy = false;
  options.completion = winsim::usb::Completion::kInline;
  korvtest::WithReader(
      [&](korvtest::Reader& r) {
        Input in(data, size);
        Run(r, in);
      },
      0, options);
  return 0;
}
