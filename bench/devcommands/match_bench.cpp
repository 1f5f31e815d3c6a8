// The uninstaller's pattern over 100,000 device nodes: the engine's own
// matching, the stand-in's enumeration with the same platform calls, and the
// two together through ForEachMatchingDevice. Each reports its time per device.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devcommands/devcommands.h"
#include "devcommands/device_identity.h"
#include "devcommands/matching.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"

namespace {

const wchar_t kPattern[] = L"USB\\Vid_2e6b&Pid_7a31&*";

// Every thousandth device is a card reader; the rest are other USB devices
// with ids of the same shape.
winsim::machine::DeviceSpec Device(int i) {
  wchar_t device[64];
  if (i % 1000 == 0) {
    swprintf(device, 64, L"USB\\VID_2E6B&PID_7A31");
  } else {
    swprintf(device, 64, L"USB\\VID_%04X&PID_%04X", 0x1000 + i % 3000, i % 65536);
  }
  winsim::machine::DeviceSpec spec;
  spec.instanceId = std::wstring(device) + L"\\" + std::to_wstring(i);
  spec.hardwareIds = {std::wstring(device) + L"&REV_0100", device};
  spec.compatibleIds = {L"USB\\Class_ff&SubClass_00", L"USB\\Class_ff"};
  spec.className = L"USB";
  spec.present = i % 2 == 0;
  return spec;
}

// Wall time per device: the inverted rate of devices, shown with its unit.
void PerDevice(benchmark::State& state) {
  state.counters["per_device"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A multi-string as the engine gets it from the platform.
devcommands::StringList List(const std::vector<std::wstring>& strings) {
  size_t chars = 1;
  for (const std::wstring& s : strings) chars += s.size() + 1;
  auto buffer = static_cast<WCHAR*>(malloc(chars * sizeof(WCHAR)));
  WCHAR* at = buffer;
  for (const std::wstring& s : strings) {
    wmemcpy(at, s.c_str(), s.size() + 1);
    at += s.size() + 1;
  }
  *at = L'\0';
  return devcommands::StringListFromMultiSz(buffer);
}

void BM_EngineMatchOnly(benchmark::State& state) {
  const int kDevices = static_cast<int>(state.range(0));
  std::vector<devcommands::StringList> hardware, compatible;
  for (int i = 0; i < kDevices; ++i) {
    winsim::machine::DeviceSpec spec = Device(i);
    hardware.push_back(List(spec.hardwareIds));
    compatible.push_back(List(spec.compatibleIds));
  }
  devcommands::IdPattern pattern = devcommands::ParseIdPattern(kPattern);
  for (auto _ : state) {
    int matched = 0;
    for (int i = 0; i < kDevices; ++i) {
      matched += devcommands::MatchAnyId(hardware[i], pattern) ||
                 devcommands::MatchAnyId(compatible[i], pattern);
    }
    if (matched != kDevices / 1000) state.SkipWithError("wrong number of matches");
  }
  PerDevice(state);
  for (auto list : hardware) devcommands::FreeStringList(list);
  for (auto list : compatible) devcommands::FreeStringList(list);
}
BENCHMARK(BM_EngineMatchOnly)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Runs `body` on a machine holding the 100,000 devices, once, for a fixed
// number of iterations (the device tree is too costly to build per call).
template <typename Body>
void OnLargeMachine(benchmark::State& state, Body body) {
  winsim::kernel::Run(0, [&] {
    for (int i = 0; i < state.range(0); ++i) winsim::machine::AddDevice(Device(i));
    for (auto _ : state) body(state);
  });
  PerDevice(state);
}

int Count(HDEVINFO, PSP_DEVINFO_DATA, DWORD, void* context) {
  ++*static_cast<int*>(context);
  return 0;
}

void BM_ForEachMatchingDevice(benchmark::State& state) {
  OnLargeMachine(state, [](benchmark::State& s) {
    const WCHAR* args[] = {kPattern};
    int count = 0;
    int result = devcommands::ForEachMatchingDevice(L"bench", nullptr, DIGCF_ALLCLASSES, 1, args,
                                                    Count, &count);
    if (result != RESULT_SUCCESS || count != s.range(0) / 1000) s.SkipWithError("wrong walk");
  });
}
// Trees of growing size: the per-device figures show whether the walk scales.
#define ON_MACHINES(bm)               \
  BENCHMARK(bm)                       \
      ->Arg(1000)                     \
      ->Arg(10000)                    \
      ->Arg(100000)                   \
      ->Unit(benchmark::kMillisecond) \
      ->UseRealTime()                 \
      ->Iterations(3)

ON_MACHINES(BM_ForEachMatchingDevice);

// The platform calls ForEachMatchingDevice makes for each device, without
// the engine: the stand-in's share.
void BM_StandInEnumerationOnly(benchmark::State& state) {
  OnLargeMachine(state, [](benchmark::State& s) {
    HDEVINFO devs = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr,
                                           nullptr, nullptr);
    SP_DEVINFO_LIST_DETAIL_DATA_W detail = {};
    detail.cbSize = sizeof(detail);
    SetupDiGetDeviceInfoListDetailW(devs, &detail);
    std::vector<BYTE> buffer(8192 + 2 * sizeof(WCHAR));
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    DWORD index = 0;
    for (; SetupDiEnumDeviceInfo(devs, index, &devInfo); ++index) {
      for (DWORD property : {SPDRP_HARDWAREID, SPDRP_COMPATIBLEIDS}) {
        DWORD type = 0, size = 0;
        SetupDiGetDeviceRegistryPropertyW(devs, &devInfo, property, &type, buffer.data(), 8192,
                                          &size);
      }
    }
    SetupDiDestroyDeviceInfoList(devs);
    if (index != s.range(0)) s.SkipWithError("wrong number of devices");
  });
}
ON_MACHINES(BM_StandInEnumerationOnly);

}  // namespace

BENCHMARK_MAIN();
