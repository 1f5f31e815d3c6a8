// The device report line and the property helpers, byte for byte.
#include "devcommands/device_identity.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "devcommands/matching.h"
#include "tests/devcommands/capture.h"
#include "tests/devcommands/case_name.h"
#include "tests/devcommands/devices.h"
#include "winsim/kernel/sim.h"

namespace devcommands::testing {
namespace {

// Runs `perDevice` for the one device with instance id `id`, added to the
// sample machine beforehand if `extra` names one.
void ForDevice(const std::wstring& id,
               const std::function<void(HDEVINFO, PSP_DEVINFO_DATA)>& perDevice,
               const winsim::machine::DeviceSpec* extra = nullptr) {
  winsim::kernel::Run(0, [&] {
    AddSampleDevices();
    if (extra != nullptr) winsim::machine::AddDevice(*extra);
    HDEVINFO devs = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr,
                                           nullptr, nullptr);
    ASSERT_NE(devs, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    int found = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devs, i, &devInfo); ++i) {
      WCHAR name[kDeviceIdChars];
      bool readable = GetDeviceInstanceId(devs, &devInfo, name);
      if (readable ? id == name : id == kUnreadable) {
        ++found;
        perDevice(devs, &devInfo);
      }
    }
    EXPECT_EQ(found, 1) << "devices with that id";
    SetupDiDestroyDeviceInfoList(devs);
    winsim::kernel::CheckCleanMachine();
  });
}

// The id padded with spaces to 60 characters, as the line format has it.
std::string Padded(const std::wstring& id) {
  std::string text = Utf8(id);
  if (text.size() < 60) text.append(60 - text.size(), ' ');
  return text;
}

struct LineCase {
  const char* what;
  std::wstring device;
  std::string expected;  // PrintDeviceSummary's output
  bool realId;
};
PRINT_ROW_AS_WHAT(LineCase)

class Summary : public ::testing::TestWithParam<LineCase> {};

TEST_P(Summary, IsTheIdPaddedThenTheDescription) {
  const LineCase& c = GetParam();
  ForDevice(c.device, [&](HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
    bool real = false;
    Captured captured = CaptureOutput([&] { real = PrintDeviceSummary(devs, devInfo); });
    EXPECT_EQ(captured.out, c.expected);
    EXPECT_EQ(captured.err, "");
    EXPECT_EQ(real, c.realId);
  });
}

INSTANTIATE_TEST_SUITE_P(
    DeviceLine, Summary,
    ::testing::Values(LineCase{"friendly name first", kReader,
                               Padded(kReader) + ": KORV Card Reader (COM3)\n", true},
                      LineCase{"else the description", kPhantomReader,
                               Padded(kPhantomReader) + ": KORV USB Serial\n", true},
                      LineCase{"no description: the id alone", kNoIds, Utf8(kNoIds) + "\n", true},
                      LineCase{"an unreadable id is ?", kUnreadable,
                               Padded(L"?") + ": Legacy device\n", false}),
    ByWhat());

TEST(DeviceLine, AnIdOfSixtyOrMoreIsPrintedWholeAndTextNullPrintsTheIdAlone) {
  winsim::machine::DeviceSpec wide = {};
  wide.instanceId = L"USB\\VID_2E6B&PID_7A31\\" + std::wstring(60, L'9');
  wide.className = L"Ports";
  wide.present = true;
  ForDevice(
      wide.instanceId,
      [&](HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
        Captured captured = CaptureOutput([&] {
          EXPECT_TRUE(PrintDeviceLine(devs, devInfo, L"Removed"));
          EXPECT_TRUE(PrintDeviceLine(devs, devInfo, nullptr));
        });
        std::string id = Utf8(wide.instanceId);
        EXPECT_EQ(captured.out, id + ": Removed\n" + id + "\n");
      },
      &wide);
  ForDevice(kUnreadable, [](HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
    Captured captured =
        CaptureOutput([&] { EXPECT_FALSE(PrintDeviceLine(devs, devInfo, nullptr)); });
    EXPECT_EQ(captured.out, "?\n");
  });
}

// Values larger than the first buffers: the helpers grow once and return all.
TEST(DeviceProperties, LongValuesComeBackWhole) {
  winsim::machine::DeviceSpec big = {};
  big.instanceId = L"ROOT\\BIG\\0000";
  big.className = L"System";
  big.present = true;
  big.description = std::wstring(700, L'd');  // over 1024 bytes with either WCHAR
  for (int i = 0; i < 80; ++i)
    big.hardwareIds.push_back(L"ROOT\\BIG_ID_" + std::wstring(40, L'x') + std::to_wstring(i));
  ForDevice(
      big.instanceId,
      [&](HDEVINFO devs, PSP_DEVINFO_DATA devInfo) {
        WCHAR* description = GetDeviceStringProperty(devs, devInfo, SPDRP_DEVICEDESC);
        ASSERT_NE(description, nullptr);
        EXPECT_EQ(std::wstring(description), big.description);
        free(description);

        StringList ids = GetDeviceMultiSzProperty(devs, devInfo, SPDRP_HARDWAREID);
        ASSERT_NE(ids, nullptr);
        std::vector<std::wstring> read;
        for (StringList id = ids; *id != nullptr; ++id) read.push_back(*id);
        EXPECT_EQ(read, big.hardwareIds);
        FreeStringList(ids);

        EXPECT_EQ(GetDeviceStringProperty(devs, devInfo, SPDRP_FRIENDLYNAME), nullptr);
        EXPECT_EQ(GetDeviceMultiSzProperty(devs, devInfo, SPDRP_COMPATIBLEIDS), nullptr);
        WCHAR* fallback = GetDeviceDescription(devs, devInfo);
        ASSERT_NE(fallback, nullptr);
        EXPECT_EQ(std::wstring(fallback), big.description);
        free(fallback);
      },
      &big);
}

}  // namespace
}  // namespace devcommands::testing
