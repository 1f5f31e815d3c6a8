// 1 MiB written and read through KORVUSB on the simulated bus, next to the
// same bytes sent by a bare test driver straight to the bus in requests of
// the same 256-byte size. Time is the process's CPU time across every
// simulated thread, for the transfer alone (plugging and starting excluded).
#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

#include "tests/usbdriver/reader_fixture.h"
#include "tests/winsim/usb/function_driver.h"

namespace {

constexpr size_t kMiB = 1 << 20;
constexpr ULONG kStage = 256;

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

void Report(benchmark::State& state, double seconds, size_t requests) {
  state.SetIterationTime(seconds);
  state.counters["bus_requests_per_MiB"] = static_cast<double>(requests);
  state.counters["cpu_ms_per_MiB"] = seconds * 1e3;
}

void BM_KorvUsbWrite1MiB(benchmark::State& state) {
  std::vector<UCHAR> data(kMiB, 0x5A);
  for (auto _ : state) {
    double seconds = 0;
    size_t requests = 0;
    korvtest::WithReader([&](korvtest::Reader& r) {
      korvtest::Handle out;
      korvtest::Open(r.fdo, out, L"if0pipe0");
      r.spy->records.clear();
      double start = CpuSeconds();
      ULONG_PTR written = 0;
      korvtest::Write(r.fdo, out, data, &written);
      seconds = CpuSeconds() - start;
      requests = r.spy->Count("bulk-out");
      if (written != kMiB) state.SkipWithError("short write");
    });
    Report(state, seconds, requests);
  }
}

void BM_KorvUsbRead1MiB(benchmark::State& state) {
  std::vector<UCHAR> data(kMiB, 0xA5), buffer(kMiB);
  for (auto _ : state) {
    double seconds = 0;
    size_t requests = 0;
    korvtest::WithReader([&](korvtest::Reader& r) {
      korvtest::Handle in;
      korvtest::Open(r.fdo, in, L"if0pipe1");
      for (size_t off = 0; off < kMiB; off += kStage) {
        r.Model().QueueIn(std::span<const UCHAR>(data.data() + off, kStage));
      }
      r.spy->records.clear();
      double start = CpuSeconds();
      ULONG_PTR got = 0;
      korvtest::Read(r.fdo, in, buffer, &got);
      seconds = CpuSeconds() - start;
      requests = r.spy->Count("bulk-in");
      if (got != kMiB) state.SkipWithError("short read");
    });
    Report(state, seconds, requests);
  }
}

// The baseline: a test driver on the bare PDO, one 256-byte URB at a time.
void BM_BusDirect(benchmark::State& state, bool read) {
  std::vector<UCHAR> data(kMiB, 0x5A);
  for (auto _ : state) {
    double seconds = 0;
    winsim::kernel::Run(0, [&] {
      winsim::usb::Bus bus;
      winsim::usb::PlugOptions plug;
      plug.reportArrival = false;
      winsim::usb::UsbDevice& device = bus.Plug(winsim::usb::kCardReader, plug);
      {
        usbtest::FunctionDriver driver(device.Pdo());
        driver.Configure(kStage);
        if (read) {
          for (size_t off = 0; off < kMiB; off += kStage) {
            device.Model().QueueIn(std::span<const UCHAR>(data.data() + off, kStage));
          }
        }
        double start = CpuSeconds();
        std::vector<UCHAR> chunk;
        for (size_t off = 0; off < kMiB; off += kStage) {
          if (read) {
            driver.BulkIn(0x82, kStage, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN,
                          &chunk);
          } else {
            driver.BulkOut(0x01, std::span<const UCHAR>(data.data() + off, kStage));
          }
        }
        seconds = CpuSeconds() - start;
      }
      bus.Unplug(device);
    });
    Report(state, seconds, kMiB / kStage);
  }
}

BENCHMARK(BM_KorvUsbWrite1MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KorvUsbRead1MiB)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BusDirect, write, false)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BusDirect, read, true)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
