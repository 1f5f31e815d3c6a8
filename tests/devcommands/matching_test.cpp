// ForEachMatchingDevice over a small machine, driven with a test callback.
#include "devcommands/matching.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "devcommands/devcommands.h"
#include "devcommands/device_identity.h"
#include "tests/devcommands/case_name.h"
#include "tests/devcommands/devices.h"
#include "winsim/kernel/sim.h"

namespace devcommands::testing {
namespace {

struct Visits {
  std::vector<std::wstring> ids;  // "?" for an id that cannot be read
  int stopAt = -1;                // visit that returns stopWith
  int stopWith = 0;
};

int Record(HDEVINFO devs, PSP_DEVINFO_DATA devInfo, DWORD, void* context) {
  auto visits = static_cast<Visits*>(context);
  WCHAR id[kDeviceIdChars];
  visits->ids.push_back(GetDeviceInstanceId(devs, devInfo, id) ? id : L"?");
  return static_cast<int>(visits->ids.size()) - 1 == visits->stopAt ? visits->stopWith : 0;
}

struct WalkResult {
  int result;
  std::vector<std::wstring> ids;
};

WalkResult Walk(const std::vector<std::wstring>& args, DWORD setFlags, Visits visits = {}) {
  std::vector<const WCHAR*> argv;
  for (const std::wstring& arg : args) argv.push_back(arg.c_str());
  WalkResult walk{-1, {}};
  winsim::kernel::Run(0, [&] {
    AddSampleDevices();
    walk.result = ForEachMatchingDevice(
        L"korvctl", nullptr, setFlags, static_cast<int>(argv.size()), argv.data(), Record, &visits);
    EXPECT_EQ(winsim::machine::OpenDeviceInfoSets(), 0);
    winsim::kernel::CheckCleanMachine();
  });
  walk.ids = visits.ids;
  return walk;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

const DWORD kPresent = DIGCF_PRESENT;
const DWORD kRemoval = DIGCF_ALLCLASSES;  // what "remove" passes
const DWORD kAll = 0;                     // what "findall" passes

struct WalkCase {
  const char* what;
  std::vector<std::wstring> args;
  DWORD setFlags;
  std::vector<std::wstring> visited;
};
PRINT_ROW_AS_WHAT(WalkCase)

class Selectors : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Selectors, VisitExactlyTheMatchingDevices) {
  WalkResult walk = Walk(GetParam().args, GetParam().setFlags);
  EXPECT_EQ(walk.result, RESULT_SUCCESS);
  EXPECT_EQ(Sorted(walk.ids), Sorted(GetParam().visited));
}

const std::wstring kReaderPattern = L"USB\\Vid_2e6b&Pid_7a31&*";

INSTANTIATE_TEST_SUITE_P(
    ForEachMatchingDevice, Selectors,
    ::testing::Values(
        WalkCase{"uninstaller pattern, connected or not",
                 {kReaderPattern},
                 kRemoval,
                 {kReader, kPhantomReader}},
        WalkCase{"uninstaller pattern, connected only", {kReaderPattern}, kPresent, {kReader}},
        WalkCase{"literal hardware id equals a whole id",
                 {L"usb\\vid_2e6b&pid_7a31"},
                 kAll,
                 {kReader, kPhantomReader, kBarePrefix}},
        WalkCase{"compatible ids match too", {L"USB\\Class_FF"}, kPresent, {kReader}},
        WalkCase{"apostrophe makes the star literal", {L"'*PNP0501"}, kPresent, {kComPort}},
        WalkCase{"a class alone: every device of it", {L"=Ports"}, kPresent, {kReader, kComPort}},
        WalkCase{"a class keeps the removal to its devices",
                 {L"=ports", L"*"},
                 kRemoval,
                 {kReader, kPhantomReader, kComPort}},
        WalkCase{"a class with a pattern", {L"=USB", L"*PID_7A31"}, kPresent, {kBarePrefix}},
        WalkCase{"unknown class", {L"=NoSuchClass", L"*"}, kPresent, {}},
        WalkCase{"a lone = is a hardware-id pattern", {L"="}, kPresent, {}},
        WalkCase{"every present device",
                 {L"*"},
                 kPresent,
                 {kReader, kBarePrefix, kHub, kComPort, kNoIds, L"?"}},
        WalkCase{"a later * needs some id",
                 {L"USB\\NONE", L"*"},
                 kPresent,
                 {kReader, kBarePrefix, kHub, kComPort, L"?"}},
        WalkCase{"literal instance ids are opened, present or not",
                 {L"@" + kPhantomReader, L"@root\\ports\\0000", L"@ROOT\\NONE\\0"},
                 kPresent,
                 {kPhantomReader, kComPort}},
        WalkCase{"opened devices are passed on unmatched, even with an unreadable id",
                 {L"@" + kUnreadable},
                 kPresent,
                 {L"?"}},
        WalkCase{"an opened instance of another class is left out",
                 {L"=USB", L"@" + kPhantomReader},
                 kPresent,
                 {}},
        WalkCase{"wildcard instance ids search; an unreadable id is empty",
                 {L"@ROOT\\*"},
                 kPresent,
                 {kComPort, kNoIds}},
        WalkCase{"@* takes even an unreadable id",
                 {L"@*"},
                 kPresent,
                 {kReader, kBarePrefix, kHub, kComPort, kNoIds, L"?"}},
        WalkCase{"instance and hardware patterns together",
                 {L"@" + kComPort, L"USB\\ROOT_HUB20"},
                 kPresent,
                 {kComPort, kHub}},
        WalkCase{"a phantom opened into a searched set is matched by its id",
                 {L"@" + kPhantomReader, L"USB\\ROOT_HUB20"},
                 kPresent,
                 {kPhantomReader, kHub}}),
    ByWhat());

TEST(ForEachMatchingDevice, ACallbackResultStopsTheWalk) {
  Visits visits;
  visits.stopAt = 0;
  visits.stopWith = 42;
  WalkResult walk = Walk({L"*"}, kPresent, visits);
  EXPECT_EQ(walk.result, 42);
  EXPECT_EQ(walk.ids.size(), 1u);
}

TEST(ForEachMatchingDevice, NoSelectorIsBadUsage) {
  WalkResult walk = Walk({}, kPresent);
  EXPECT_EQ(walk.result, RESULT_BAD_USAGE);
  EXPECT_TRUE(walk.ids.empty());
}

}  // namespace
}  // namespace devcommands::testing
