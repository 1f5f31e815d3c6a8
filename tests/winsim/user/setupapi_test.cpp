// SetupAPI over the simulated machine: device information sets built by
// flags and class, devices opened by instance id, registry properties with
// their sizes and types, class lookups, the set detail record, and every
// form that names another machine failing as an unreachable one does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"

// Found by argument-dependent lookup from gtest's and the library's templates.
static bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

namespace {

namespace wm = winsim::machine;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kUsb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kTwinA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr GUID kTwinB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};

const wchar_t kPort[] = L"ROOT\\PORTS\\0000";
const wchar_t kReader[] = L"USB\\VID_2E6B&PID_7A31\\OLD1";  // installed once, unplugged now
const wchar_t kHub[] = L"USB\\ROOT_HUB\\4&1";
const wchar_t kBare[] = L"ROOT\\LEGACY_BEEP\\0000";  // no class, no ids

// A machine with a port, an unplugged card reader, a hub and a device
// without a class; the scenario must leave nothing open.
void OnMachine(const std::function<void()>& body) {
  winsim::kernel::Run(0, [&] {
    wm::AddDevice({.instanceId = kPort,
                   .hardwareIds = {L"ROOT\\KORVPORT"},
                   .className = L"Ports",
                   .description = L"Communications Port",
                   .friendlyName = L"Communications Port (COM1)",
                   .present = true});
    wm::AddDevice({.instanceId = kReader,
                   .hardwareIds = {L"USB\\VID_2E6B&PID_7A31&REV_0100", L"USB\\VID_2E6B&PID_7A31"},
                   .compatibleIds = {L"USB\\Class_ff"},
                   .className = L"Ports",
                   .description = L"Magnetic card reader",
                   .service = L"KORVUSB"});
    wm::AddDevice({.instanceId = kHub, .className = L"USB", .description = L"USB Root Hub",
                   .present = true});
    wm::AddDevice({.instanceId = kBare, .present = true});
    body();
    winsim::kernel::CheckCleanMachine();
  });
}

SP_DEVINFO_DATA Record(DWORD size = sizeof(SP_DEVINFO_DATA)) {
  SP_DEVINFO_DATA data{};
  data.cbSize = size;
  return data;
}

std::wstring InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* data) {
  WCHAR id[MAX_DEVICE_ID_LEN];
  EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, data, id, MAX_DEVICE_ID_LEN, nullptr));
  return id;
}

// The set's members in order; checks that the walk ends as documented.
std::vector<std::wstring> Members(HDEVINFO set) {
  std::vector<std::wstring> ids;
  SP_DEVINFO_DATA data = Record();
  DWORD i = 0;
  for (; SetupDiEnumDeviceInfo(set, i, &data); ++i) ids.push_back(InstanceIdOf(set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) << "after member " << i;
  return ids;
}

SP_DEVINFO_DATA Open(HDEVINFO set, const wchar_t* id) {
  SP_DEVINFO_DATA data = Record();
  EXPECT_TRUE(SetupDiOpenDeviceInfoW(set, id, nullptr, 0, &data)) << GetLastError();
  return data;
}

// ---- building sets -------------------------------------------------------------

TEST(SetupDiGetClassDevs, SelectsByPresenceClassAndEnumerator) {
  struct Row {
    const char* what;
    const GUID* cls;
    const wchar_t* enumerator;
    DWORD flags;
    std::vector<std::wstring> ids;
  } rows[] = {
      {"every device, in the Enum tree's order", nullptr, nullptr, DIGCF_ALLCLASSES,
       {kPort, kBare, kReader, kHub}},
      {"present devices", nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, {kPort, kBare, kHub}},
      {"one class, present or not", &kPorts, nullptr, 0, {kPort, kReader}},
      {"one class, present", &kPorts, nullptr, DIGCF_PRESENT, {kPort}},
      {"all classes ignore the GUID", &kPorts, nullptr, DIGCF_ALLCLASSES,
       {kPort, kBare, kReader, kHub}},
      {"enumerator, any case", nullptr, L"usb", DIGCF_ALLCLASSES, {kReader, kHub}},
      {"enumerator and class", &kUsb, L"USB", 0, {kHub}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OnMachine([&] {
      HDEVINFO set = SetupDiGetClassDevsExW(row.cls, row.enumerator, nullptr, row.flags, nullptr,
                                            nullptr, nullptr);
      ASSERT_NE(set, INVALID_HANDLE_VALUE);
      // Which devices, not their order (the registry's sorted order is
      // checked where a set grows).
      std::vector<std::wstring> members = Members(set), expected = row.ids;
      std::sort(members.begin(), members.end());
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(members, expected);
      EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    });
  }
}

TEST(SetupDiGetClassDevs, RefusesWhatItCannotAnswer) {
  int reserved = 0;
  struct Row {
    const char* what;
    const GUID* cls;
    const wchar_t* enumerator;
    DWORD flags;
    PVOID reserved;
    DWORD error;
  } rows[] = {
      {"no class and not all classes", nullptr, nullptr, DIGCF_PRESENT, nullptr,
       ERROR_INVALID_PARAMETER},
      {"an enumerator no device has", nullptr, L"PCI", DIGCF_ALLCLASSES, nullptr,
       ERROR_INVALID_DATA},
      {"an unknown flag", nullptr, nullptr, DIGCF_ALLCLASSES | 0x100, nullptr, ERROR_INVALID_FLAGS},
      {"Reserved not null", nullptr, nullptr, DIGCF_ALLCLASSES, &reserved, ERROR_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OnMachine([&] {
      SetLastError(kSentinel);
      EXPECT_EQ(SetupDiGetClassDevsExW(row.cls, row.enumerator, nullptr, row.flags, nullptr,
                                       nullptr, row.reserved),
                INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), row.error);
      EXPECT_EQ(wm::OpenDeviceInfoSets(), 0);
    });
  }
}

TEST(SetupDiGetClassDevs, AddsToAGivenSetWithoutDuplicates) {
  OnMachine([] {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    Open(set, kHub);
    EXPECT_EQ(SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT,
                                     set, nullptr, nullptr),
              set);
    // Opened first, then the rest in the registry's sorted order.
    EXPECT_EQ(Members(set), (std::vector<std::wstring>{kHub, kBare, kPort}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  });
}

// ---- opening by instance id ------------------------------------------------------

TEST(SetupDiOpenDeviceInfo, OpensPresentAndAbsentDevicesOnce) {
  OnMachine([] {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA reader = Open(set, L"usb\\vid_2e6b&pid_7a31\\old1");
    EXPECT_EQ(reader.ClassGuid, kPorts);
    EXPECT_NE(reader.DevInst, 0u);
    EXPECT_EQ(InstanceIdOf(set, &reader), kReader) << "the id as the machine spells it";
    SP_DEVINFO_DATA again = Open(set, kReader);
    EXPECT_EQ(again.DevInst, reader.DevInst);
    Open(set, kPort);
    SP_DEVINFO_DATA root = Open(set, nullptr);
    EXPECT_EQ(InstanceIdOf(set, &root), L"HTREE\\ROOT\\0");
    EXPECT_EQ(Members(set), (std::vector<std::wstring>{kReader, kPort, L"HTREE\\ROOT\\0"}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  });
}

TEST(SetupDiOpenDeviceInfo, Refusals) {
  struct Row {
    const char* what;
    const GUID* setClass;
    const wchar_t* id;
    DWORD flags;
    DWORD error;
  } rows[] = {
      {"no such device", nullptr, L"USB\\VID_2E6B&PID_7A31\\NEW", 0, ERROR_NO_SUCH_DEVINST},
      {"a pattern names no device", nullptr, L"USB\\VID_2E6B&PID_7A31&*", 0, ERROR_NO_SUCH_DEVINST},
      {"a device of another class", &kPorts, kHub, 0, ERROR_CLASS_MISMATCH},
      {"a device without class in a class set", &kPorts, kBare, 0, ERROR_CLASS_MISMATCH},
      {"an unknown flag", nullptr, kPort, 0x1, ERROR_INVALID_FLAGS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OnMachine([&] {
      HDEVINFO set = SetupDiCreateDeviceInfoListExW(row.setClass, nullptr, nullptr, nullptr);
      SP_DEVINFO_DATA data = Record();
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, row.id, nullptr, row.flags, &data));
      EXPECT_EQ(GetLastError(), row.error);
      EXPECT_TRUE(Members(set).empty());
      SetupDiDestroyDeviceInfoList(set);
    });
  }
}

TEST(SetupDiOpenDeviceInfo, ABadOutputRecordFailsButTheDeviceIsAdded) {
  OnMachine([] {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data = Record(sizeof(SP_DEVINFO_DATA) - 8);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, kPort, nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(Members(set), std::vector<std::wstring>{kPort});
    SetupDiDestroyDeviceInfoList(set);
  });
}

// ---- walking and the records passed in ------------------------------------------

TEST(SetupDiEnumDeviceInfo, RecordSizesAndMembership) {
  OnMachine([] {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    HDEVINFO other = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA mine = Open(set, kPort);
    SP_DEVINFO_DATA theirs = Open(other, kPort);
    SP_DEVINFO_DATA wrongSize = Record(sizeof(SP_DEVINFO_DATA) + 4);
    WCHAR id[MAX_DEVICE_ID_LEN];
    struct Row {
      const char* what;
      std::function<BOOL()> call;
      DWORD error;
    } rows[] = {
        {"output record of the wrong size", [&] { return SetupDiEnumDeviceInfo(set, 0, &wrongSize); },
         ERROR_INVALID_USER_BUFFER},
        {"no output record", [&] { return SetupDiEnumDeviceInfo(set, 0, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"past the last member", [&] { return SetupDiEnumDeviceInfo(set, 1, &mine); },
         ERROR_NO_MORE_ITEMS},
        {"input record of the wrong size",
         [&] {
           SP_DEVINFO_DATA copy = mine;
           copy.cbSize = 28;
           return SetupDiGetDeviceInstanceIdW(set, &copy, id, MAX_DEVICE_ID_LEN, nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"a record of another set",
         [&] { return SetupDiGetDeviceInstanceIdW(set, &theirs, id, MAX_DEVICE_ID_LEN, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"a set that is not one",
         [&] { return SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &mine); },
         ERROR_INVALID_HANDLE},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      SetLastError(kSentinel);
      EXPECT_FALSE(row.call());
      EXPECT_EQ(GetLastError(), row.error);
    }
    SetupDiDestroyDeviceInfoList(other);
    SetupDiDestroyDeviceInfoList(set);
  });
}

TEST(SetupDiGetDeviceInstanceId, ReportsTheCharactersNeeded) {
  OnMachine([] {
    HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
    SP_DEVINFO_DATA data = Open(set, kPort);
    const DWORD needed = static_cast<DWORD>(std::wcslen(kPort) + 1);
    WCHAR id[MAX_DEVICE_ID_LEN] = L"untouched";
    DWORD required = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &data, id, needed - 1, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    EXPECT_STREQ(id, L"untouched");
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, needed, &required));
    EXPECT_STREQ(id, kPort);
    SetupDiDestroyDeviceInfoList(set);
  });
}

// ---- registry properties ----------------------------------------------------------

std::vector<BYTE> Bytes(const std::wstring& text) {
  auto* p = reinterpret_cast<const BYTE*>(text.c_str());
  return std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(WCHAR));
}

std::vector<BYTE> MultiSz(const std::vector<std::wstring>& strings) {
  std::wstring joined;
  for (const std::wstring& s : strings) joined += s + L'\0';
  return Bytes(joined);  // the final empty string is the terminator Bytes adds
}

TEST(SetupDiGetDeviceRegistryProperty, DataTypesAndSizesAsStored) {
  struct Row {
    const char* what;
    const wchar_t* device;
    DWORD property;
    DWORD type;
    std::vector<BYTE> data;
  } rows[] = {
      {"description", kReader, SPDRP_DEVICEDESC, REG_SZ, Bytes(L"Magnetic card reader")},
      {"friendly name", kPort, SPDRP_FRIENDLYNAME, REG_SZ, Bytes(L"Communications Port (COM1)")},
      {"hardware ids", kReader, SPDRP_HARDWAREID, REG_MULTI_SZ,
       MultiSz({L"USB\\VID_2E6B&PID_7A31&REV_0100", L"USB\\VID_2E6B&PID_7A31"})},
      {"compatible ids", kReader, SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, MultiSz({L"USB\\Class_ff"})},
      {"service", kReader, SPDRP_SERVICE, REG_SZ, Bytes(L"KORVUSB")},
      {"class name", kReader, SPDRP_CLASS, REG_SZ, Bytes(L"Ports")},
      {"class GUID", kHub, SPDRP_CLASSGUID, REG_SZ, Bytes(L"{36FC9E60-C465-11CF-8056-444553540000}")},
      {"enumerator", kHub, SPDRP_ENUMERATOR_NAME, REG_SZ, Bytes(L"USB")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OnMachine([&] {
      HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
      SP_DEVINFO_DATA data = Open(set, row.device);
      const auto size = static_cast<DWORD>(row.data.size());
      DWORD type = kSentinel, required = kSentinel;
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, row.property, &type, nullptr, 0,
                                                     &required));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(type, row.type);
      EXPECT_EQ(required, size);
      std::vector<BYTE> buffer(size, 0xAA);
      EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, row.property, &type,
                                                     buffer.data(), size - 1, &required));
      EXPECT_EQ(buffer, std::vector<BYTE>(size, 0xAA)) << "a short buffer is left alone";
      EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, row.property, &type, buffer.data(),
                                                    size, &required));
      EXPECT_EQ(buffer, row.data);
      SetupDiDestroyDeviceInfoList(set);
    });
  }
}

TEST(SetupDiGetDeviceRegistryProperty, MissingAndInvalidProperties) {
  struct Row {
    const char* what;
    const wchar_t* device;
    DWORD property;
    DWORD error;
  } rows[] = {
      {"no friendly name", kReader, SPDRP_FRIENDLYNAME, ERROR_INVALID_DATA},
      {"no hardware ids", kBare, SPDRP_HARDWAREID, ERROR_INVALID_DATA},
      {"no upper filters", kPort, SPDRP_UPPERFILTERS, ERROR_INVALID_DATA},
      {"the root has no description", nullptr, SPDRP_DEVICEDESC, ERROR_INVALID_DATA},
      {"an unused code", kPort, SPDRP_UNUSED0, ERROR_INVALID_REG_PROPERTY},
      {"past the last code", kPort, SPDRP_MAXIMUM_PROPERTY, ERROR_INVALID_REG_PROPERTY},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    OnMachine([&] {
      HDEVINFO set = SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr, nullptr);
      SP_DEVINFO_DATA data = Open(set, row.device);
      BYTE buffer[64];
      DWORD required = kSentinel;
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, row.property, nullptr, buffer,
                                                     sizeof buffer, &required));
      EXPECT_EQ(GetLastError(), row.error);
      SetupDiDestroyDeviceInfoList(set);
    });
  }
}

// ---- the set's detail record ----------------------------------------------------------

TEST(SetupDiGetDeviceInfoListDetail, TakesTheDocumented560ByteRecord) {
  OnMachine([] {
    HDEVINFO ports = SetupDiCreateDeviceInfoListExW(&kPorts, nullptr, nullptr, nullptr);
    HDEVINFO all = SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr,
                                          nullptr, nullptr);
    SP_DEVINFO_LIST_DETAIL_DATA_W detail;
    std::memset(&detail, 0xAA, sizeof detail);
    detail.cbSize = 560;
    ASSERT_TRUE(SetupDiGetDeviceInfoListDetailW(ports, &detail));
    EXPECT_EQ(detail.ClassGuid, kPorts);
    EXPECT_EQ(detail.RemoteMachineHandle, nullptr) << "the local machine";
    EXPECT_EQ(detail.RemoteMachineName[0], L'\0');
    ASSERT_TRUE(SetupDiGetDeviceInfoListDetailW(all, &detail));
    EXPECT_EQ(detail.ClassGuid, GUID{}) << "a set of all classes has none";
    for (DWORD size : {0u, 32u, 559u, 561u}) {
      detail.cbSize = size;
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupDiGetDeviceInfoListDetailW(all, &detail)) << size;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << size;
    }
    SetupDiDestroyDeviceInfoList(all);
    SetupDiDestroyDeviceInfoList(ports);
  });
}

// ---- setup classes ----------------------------------------------------------------

TEST(SetupDiClassGuidsFromName, CountsEveryClassOfTheName) {
  OnMachine([] {
    wm::AddSetupClass(kTwinA, L"Twin", L"First twin");
    wm::AddSetupClass(kTwinB, L"TWIN", L"Second twin");
    GUID found[2] = {};
    DWORD required = kSentinel;
    EXPECT_TRUE(SetupDiClassGuidsFromNameExW(L"ports", found, 1, &required, nullptr, nullptr));
    EXPECT_EQ(required, 1u);
    EXPECT_EQ(found[0], kPorts);
    SetLastError(kSentinel);
    EXPECT_TRUE(SetupDiClassGuidsFromNameExW(L"NoSuchClass", found, 1, &required, nullptr, nullptr))
        << "no class of that name is zero GUIDs, not an error";
    EXPECT_EQ(required, 0u);
    EXPECT_FALSE(SetupDiClassGuidsFromNameExW(L"twin", found, 1, &required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 2u);
    EXPECT_EQ(found[0], kTwinA) << "what fits is filled";
    EXPECT_TRUE(SetupDiClassGuidsFromNameExW(L"twin", found, 2, &required, nullptr, nullptr));
    EXPECT_EQ(found[1], kTwinB);
  });
}

TEST(SetupDiBuildClassInfoList, ListsInstalledClassesAndHonoursItsFilters) {
  OnMachine([] {
    wm::AddSetupClass(kTwinA, L"Twin", L"First twin");
    winsim::registry::SetDword(
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
        L"{11111111-2222-3333-4444-555555555501}",
        L"NoDisplayClass", 1);
    DWORD all = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiBuildClassInfoListExW(0, nullptr, 0, &all, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<GUID> guids(all);
    DWORD required = 0;
    ASSERT_TRUE(SetupDiBuildClassInfoListExW(0, guids.data(), all, &required, nullptr, nullptr));
    EXPECT_EQ(required, all);
    EXPECT_NE(std::find(guids.begin(), guids.end(), kTwinA), guids.end());
    EXPECT_NE(std::find(guids.begin(), guids.end(), kUsb), guids.end());
    ASSERT_TRUE(SetupDiBuildClassInfoListExW(DIBCI_NODISPLAYCLASS, guids.data(), all, &required,
                                             nullptr, nullptr));
    EXPECT_EQ(required, all - 1);
    EXPECT_EQ(std::find(guids.begin(), guids.begin() + required, kTwinA), guids.begin() + required);
  });
}

TEST(SetupDiGetClassDescription, DescriptionNameAndBufferSizes) {
  OnMachine([] {
    WCHAR text[64];
    DWORD required = 0;
    ASSERT_TRUE(SetupDiGetClassDescriptionExW(&kPorts, text, 64, &required, nullptr, nullptr));
    EXPECT_STREQ(text, L"Ports (COM & LPT)");
    EXPECT_EQ(required, 18u);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupDiGetClassDescriptionExW(&kPorts, text, 17, &required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 18u);
    ASSERT_TRUE(SetupDiClassNameFromGuidExW(&kUsb, text, MAX_CLASS_NAME_LEN, &required, nullptr,
                                            nullptr));
    EXPECT_STREQ(text, L"USB");
    wm::AddSetupClass(kTwinA, L"Twin", L"");
    ASSERT_TRUE(SetupDiGetClassDescriptionExW(&kTwinA, text, 64, &required, nullptr, nullptr));
    EXPECT_STREQ(text, L"Twin") << "without a description the class is named";
    EXPECT_FALSE(SetupDiGetClassDescriptionExW(&kTwinB, text, 64, &required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CLASS));
    EXPECT_FALSE(SetupDiClassNameFromGuidExW(&kTwinB, text, 64, &required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CLASS));
  });
}

// ---- other machines -----------------------------------------------------------------

// Every function that takes a machine name, called with `name`; each returns
// the BOOL the function returned (a set counts as TRUE and is destroyed).
std::vector<std::pair<const char*, std::function<BOOL()>>> CallsNaming(const wchar_t* name) {
  auto set = [](HDEVINFO h) {
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    SetupDiDestroyDeviceInfoList(h);
    return TRUE;
  };
  static GUID guids[8];
  static WCHAR text[64];
  static DWORD n;
  return {
      {"SetupDiGetClassDevsExW",
       [=] {
         return set(SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES, nullptr,
                                           name, nullptr));
       }},
      {"SetupDiCreateDeviceInfoListExW",
       [=] { return set(SetupDiCreateDeviceInfoListExW(nullptr, nullptr, name, nullptr)); }},
      {"SetupDiClassGuidsFromNameExW",
       [=] { return SetupDiClassGuidsFromNameExW(L"Ports", guids, 8, &n, name, nullptr); }},
      {"SetupDiBuildClassInfoListExW",
       [=] { return SetupDiBuildClassInfoListExW(0, guids, 8, &n, name, nullptr); }},
      {"SetupDiGetClassDescriptionExW",
       [=] { return SetupDiGetClassDescriptionExW(&kPorts, text, 64, &n, name, nullptr); }},
      {"SetupDiClassNameFromGuidExW",
       [=] { return SetupDiClassNameFromGuidExW(&kPorts, text, 64, &n, name, nullptr); }},
  };
}

TEST(SetupApiMachines, AnotherMachineIsUnreachable) {
  struct Row {
    const wchar_t* name;
    DWORD error;  // 0: answered as the local machine
  } rows[] = {
      {L"\\\\FARAWAY", ERROR_MACHINE_UNAVAILABLE},
      {L"faraway", ERROR_MACHINE_UNAVAILABLE},
      {L"\\\\", ERROR_INVALID_MACHINENAME},
      {L"\\\\KORVSIM", 0},
      {L"korvsim", 0},
      {L"", 0},
  };
  for (const Row& row : rows) {
    OnMachine([&] {
      for (auto& [call, invoke] : CallsNaming(row.name)) {
        SCOPED_TRACE(std::string(call) + " on \"" +
                     std::string(row.name, row.name + std::wcslen(row.name)) + "\"");
        SetLastError(kSentinel);
        EXPECT_EQ(invoke(), row.error == 0);
        if (row.error != 0) {
          EXPECT_EQ(GetLastError(), row.error);
        }
      }
    });
  }
}

// ---- teardown ---------------------------------------------------------------------

TEST(SetupApiTeardown, ASetLeftOpenStopsTheRun) {
  EXPECT_DEATH(winsim::kernel::Run(0,
                                   [] {
                                     SetupDiCreateDeviceInfoListExW(nullptr, nullptr, nullptr,
                                                                    nullptr);
                                     winsim::kernel::CheckCleanMachine();
                                   }),
               "1 device information set");
}

}  // namespace
