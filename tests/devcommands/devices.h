// A small machine for the matching tests: the card reader connected and as a
// phantom, devices that share its id prefix or not, a device with only a
// compatible id, one without ids and one whose instance id is too long to be
// read.
#pragma once
#include <string>
#include <vector>

#include "winsim/machine/devices.h"

namespace devcommands::testing {

inline const std::wstring kReader = L"USB\\VID_2E6B&PID_7A31\\5&1A2B3C&0&1";
inline const std::wstring kPhantomReader = L"USB\\VID_2E6B&PID_7A31\\5&1A2B3C&0&2";
inline const std::wstring kBarePrefix = L"USB\\VID_2E6B&PID_7A31_BARE\\7&0&0&1";
inline const std::wstring kHub = L"USB\\ROOT_HUB20\\4&2&0";
inline const std::wstring kComPort = L"ROOT\\PORTS\\0000";
inline const std::wstring kNoIds = L"ROOT\\SYSTEM\\0001";
// Longer than an instance id buffer holds: its id cannot be read.
inline const std::wstring kUnreadable = L"ROOT\\LEGACY_X\\" + std::wstring(230, L'A');

std::vector<winsim::machine::DeviceSpec> SampleDevices();
void AddSampleDevices();

}  // namespace devcommands::testing
