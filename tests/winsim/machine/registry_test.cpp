// The kernel's registry routines over the shared store: buffer sizes and
// statuses as documented, access, and the Rtl shortcuts drivers use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;
namespace reg = winsim::registry;

const std::wstring kKey = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\demo";

UNICODE_STRING Str(const wchar_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

HANDLE OpenKey(const std::wstring& path, ACCESS_MASK access, NTSTATUS* status) {
  UNICODE_STRING name = {static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                         const_cast<PWSTR>(path.c_str())};
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE key = nullptr;
  *status = ZwOpenKey(&key, access, &oa);
  return key;
}

struct QueryCase {
  const char* what;
  ULONG length;  // buffer offered, in bytes
  NTSTATUS status;
  bool dataComplete;
};

class RegistryTest : public ::testing::TestWithParam<QueryCase> {};

// "COM3" with its terminator: 5 characters of data.
constexpr ULONG kHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
constexpr ULONG kData = 5 * sizeof(WCHAR);

TEST_P(RegistryTest, PartialInformationReportsTheSizeItNeeds) {
  const QueryCase c = GetParam();
  wk::Run(0, [&] {
    reg::SetString(kKey, L"PortName", L"COM3");
    NTSTATUS status;
    HANDLE key = OpenKey(kKey, KEY_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    std::vector<UCHAR> buffer(c.length + 16, 0xAB);
    ULONG needed = 0;
    UNICODE_STRING name = Str(L"PortName");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer.data(), c.length,
                              &needed),
              c.status);
    EXPECT_EQ(needed, kHeader + kData);
    EXPECT_EQ(buffer[c.length], 0xAB) << "wrote past the buffer";
    if (c.dataComplete) {
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
      EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
      EXPECT_EQ(info->DataLength, kData);
      EXPECT_EQ(std::wstring(reinterpret_cast<PWCHAR>(info->Data)), L"COM3");
    }
    ZwClose(key);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RegistryTest,
    ::testing::Values(QueryCase{"exact", kHeader + kData, STATUS_SUCCESS, true},
                      QueryCase{"roomy", kHeader + kData + 40, STATUS_SUCCESS, true},
                      QueryCase{"one byte short", kHeader + kData - 1, STATUS_BUFFER_OVERFLOW,
                                false},
                      QueryCase{"header only", kHeader, STATUS_BUFFER_OVERFLOW, false},
                      QueryCase{"smaller than the header", kHeader - 1, STATUS_BUFFER_TOO_SMALL,
                                false}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name) {
        if (ch == ' ') ch = '_';
      }
      return name;
    });

TEST(Registry, MissingKeysValuesAndDeniedAccessAreReportedNotInvented) {
  wk::Run(0, [] {
    NTSTATUS status;
    EXPECT_EQ(OpenKey(kKey + L"\\absent", KEY_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    reg::SetDword(kKey, L"Start", 3);
    HANDLE key = OpenKey(kKey, KEY_READ, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    UNICODE_STRING missing = Str(L"Nope");
    UCHAR buffer[64];
    ULONG needed;
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer,
                              &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG one = 1;
    UNICODE_STRING start = Str(L"Start");
    EXPECT_EQ(ZwSetValueKey(key, &start, 0, REG_DWORD, &one, sizeof one), STATUS_ACCESS_DENIED)
        << "a key opened for reading must not be written";
    ZwClose(key);
    reg::DenyAccess(reg::Find(kKey), KEY_QUERY_VALUE);
    EXPECT_EQ(OpenKey(kKey, KEY_READ, &status), nullptr);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(reg::OpenKeyCount(), 0);
  });
}

TEST(Registry, DeviceMapValuesAreWrittenAndDeletedThroughRtl) {
  wk::Run(0, [] {
    const wchar_t port[] = L"COM3";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                    L"\\Device\\KORVUsbSerial0", REG_SZ,
                                    const_cast<wchar_t*>(port), sizeof port),
              STATUS_SUCCESS);
    std::wstring text;
    const std::wstring map = L"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";
    ASSERT_TRUE(reg::GetString(map, L"\\Device\\KORVUsbSerial0", &text));
    EXPECT_EQ(text, L"COM3");
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                     L"\\Device\\KORVUsbSerial0"),
              STATUS_SUCCESS);
    EXPECT_FALSE(reg::GetString(map, L"\\Device\\KORVUsbSerial0", &text));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                     L"\\Device\\KORVUsbSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
  });
}

TEST(Registry, KeyHandlesLeftOpenAreChargedToTheDriver) {
  wk::Run(0, [] {
    PDRIVER_OBJECT driver = wk::LoadDriver(L"keeper", [](PDRIVER_OBJECT, PUNICODE_STRING) {
      return STATUS_SUCCESS;
    });
    HANDLE key = nullptr;
    wk::AsDriver(driver, [&] {
      NTSTATUS status;
      key = OpenKey(L"\\Registry\\Machine\\Software", KEY_READ, &status);
    });
    EXPECT_EQ(wk::CountsOf(driver).handles, 1);
    ZwClose(key);
    EXPECT_EQ(wk::CountsOf(driver).handles, 0);
    wk::UnloadDriver(driver);
  });
}

TEST(RegistryDeathTest, UnloadWithAnOpenKeyIsALeak) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         PDRIVER_OBJECT driver =
                             wk::LoadDriver(L"leaky", [](PDRIVER_OBJECT, PUNICODE_STRING) {
                               return STATUS_SUCCESS;
                             });
                         wk::AsDriver(driver, [] {
                           NTSTATUS status;
                           OpenKey(L"\\Registry\\Machine\\Software", KEY_READ, &status);
                         });
                         wk::UnloadDriver(driver);
                       }),
               "leaky was unloaded with 1 kernel handle");
}

}  // namespace
