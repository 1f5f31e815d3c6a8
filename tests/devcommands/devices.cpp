#include "tests/devcommands/devices.h"

namespace devcommands::testing {

std::vector<winsim::machine::DeviceSpec> SampleDevices() {
  const std::vector<std::wstring> readerIds = {L"USB\\VID_2E6B&PID_7A31&REV_0100",
                                               L"USB\\VID_2E6B&PID_7A31"};
  const std::vector<std::wstring> readerCompatible = {L"USB\\Class_ff&SubClass_00",
                                                      L"USB\\Class_ff"};
  std::vector<winsim::machine::DeviceSpec> devices(7);
  devices[0] = {kReader,
                readerIds,
                readerCompatible,
                L"Ports",
                L"KORV USB Serial",
                L"KORV Card Reader (COM3)",
                L"Kestrova",
                L"KORVUSB",
                L"",
                true,
                true};
  devices[1] = {kPhantomReader,
                readerIds,
                readerCompatible,
                L"Ports",
                L"KORV USB Serial",
                L"",
                L"Kestrova",
                L"KORVUSB",
                L"",
                false,
                false};
  devices[2] = {kBarePrefix,
                {L"USB\\VID_2E6B&PID_7A31"},
                {},
                L"USB",
                L"Other reader",
                L"",
                L"",
                L"",
                L"",
                true,
                true};
  devices[3] = {kHub,
                {L"USB\\ROOT_HUB20"},
                {L"USB\\ROOT_HUB"},
                L"USB",
                L"USB Root Hub",
                L"",
                L"",
                L"usbhub",
                L"",
                true,
                true};
  devices[4] = {kComPort,  {},  {L"*PNP0501"}, L"Ports", L"Communications Port", L"", L"",
                L"Serial", L"", true,          true};
  devices[5] = {kNoIds, {}, {}, L"System", L"", L"", L"", L"", L"", true, true};
  devices[6] = {
      kUnreadable, {L"ROOT\\LEGACY"}, {}, L"System", L"Legacy device", L"", L"", L"", L"", true,
      true};
  return devices;
}

void AddSampleDevices() {
  for (const winsim::machine::DeviceSpec& device : SampleDevices()) {
    winsim::machine::AddDevice(device);
  }
}

}  // namespace devcommands::testing
