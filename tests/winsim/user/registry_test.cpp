// The Reg functions over the machine's registry: access a handle was opened
// with, access the store denies, sizes and the documented return codes,
// enumeration, deletion and handle accounting. Every scenario ends with the
// machine clean.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;
namespace reg = winsim::registry;

const wchar_t kTestKey[] = L"SOFTWARE\\KorvTest";
const wchar_t kTestPath[] = L"\\Registry\\Machine\\SOFTWARE\\KorvTest";

// Runs `body` on a fresh machine and checks that it was left clean.
template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

DWORD Bytes(const std::wstring& text) {
  return static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
}

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        Bytes(text));
}

// Each operation needs its own right; a handle opened without it is refused
// with ERROR_ACCESS_DENIED, and one opened with it is served.
TEST(Registry, HandlesAllowOnlyWhatTheyWereOpenedFor) {
  enum Op { kQuery, kSet, kDeleteValue, kEnumerate, kCreateSubkey, kQueryInfo };
  struct Case {
    const char* what;
    REGSAM access;
    Op op;
    LSTATUS expected;
  };
  const Case cases[] = {
      {"read handle queries", KEY_READ, kQuery, ERROR_SUCCESS},
      {"read handle cannot set", KEY_READ, kSet, ERROR_ACCESS_DENIED},
      {"read handle cannot delete a value", KEY_READ, kDeleteValue, ERROR_ACCESS_DENIED},
      {"read handle enumerates", KEY_READ, kEnumerate, ERROR_SUCCESS},
      {"read handle cannot create a subkey", KEY_READ, kCreateSubkey, ERROR_ACCESS_DENIED},
      {"generic read is read", GENERIC_READ, kSet, ERROR_ACCESS_DENIED},
      {"write handle cannot query", KEY_WRITE, kQuery, ERROR_ACCESS_DENIED},
      {"write handle sets", KEY_WRITE, kSet, ERROR_SUCCESS},
      {"write handle creates a subkey", KEY_WRITE, kCreateSubkey, ERROR_SUCCESS},
      {"write handle cannot enumerate", KEY_WRITE, kEnumerate, ERROR_ACCESS_DENIED},
      {"query-only handle cannot enumerate", KEY_QUERY_VALUE, kEnumerate, ERROR_ACCESS_DENIED},
      {"enumerate-only handle cannot count", KEY_ENUMERATE_SUB_KEYS, kQueryInfo,
       ERROR_ACCESS_DENIED},
      {"all access deletes a value", KEY_ALL_ACCESS, kDeleteValue, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine([&] {
      reg::SetString(kTestPath, L"PortName", L"COM3");
      reg::Create(reg::Find(kTestPath), L"Child");
      HKEY key = nullptr;
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, c.access, &key), ERROR_SUCCESS);
      WCHAR name[32];
      DWORD chars = 32;
      HKEY sub = nullptr;
      DWORD count = 0;
      LSTATUS status = ERROR_INVALID_FUNCTION;
      switch (c.op) {
        case kQuery:
          status = RegQueryValueExW(key, L"PortName", nullptr, nullptr, nullptr, &count);
          break;
        case kSet:
          status = SetString(key, L"PortName", L"COM4");
          break;
        case kDeleteValue:
          status = RegDeleteValueW(key, L"PortName");
          break;
        case kEnumerate:
          status = RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
          break;
        case kCreateSubkey:
          status = RegCreateKeyExW(key, L"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr);
          if (sub != nullptr) RegCloseKey(sub);
          break;
        case kQueryInfo:
          status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr, nullptr);
          break;
      }
      EXPECT_EQ(status, c.expected);
      // A refused write changed nothing.
      std::wstring text;
      bool present = reg::GetString(kTestPath, L"PortName", &text);
      if (status != ERROR_SUCCESS) {
        EXPECT_TRUE(present);
        EXPECT_EQ(text, L"COM3");
      }
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    });
  }
}

// A key whose security denies reading cannot be opened for reading at all,
// and is skipped that way by a walk; other rights stay available.
TEST(Registry, KeysTheStoreDeniesCannotBeOpenedForThatRight) {
  OnMachine([] {
    reg::Key* key = reg::Create(reg::Root(), L"Machine\\SOFTWARE\\KorvTest\\Properties");
    reg::DenyAccess(key, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
    HKEY h = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\Properties", 0, KEY_READ, &h),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\Properties", 0, KEY_SET_VALUE, &h),
        ERROR_SUCCESS);
    RegCloseKey(h);
    // The parent still enumerates it.
    HKEY parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &parent), ERROR_SUCCESS);
    WCHAR name[32];
    DWORD chars = 32;
    EXPECT_EQ(RegEnumKeyExW(parent, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Properties");
    RegCloseKey(parent);
  });
}

// Value sizes are bytes, strings counted with the terminator that was
// stored; a short buffer gets ERROR_MORE_DATA and the size it needs.
TEST(Registry, QueryValueSizesAndErrors) {
  const std::wstring port = L"COM12";
  const DWORD needed = Bytes(port);
  struct Case {
    const char* what;
    const wchar_t* name;
    bool withBuffer;
    DWORD offered;
    LSTATUS expected;
    DWORD reported;
  };
  const Case cases[] = {
      {"size only", L"PortName", false, 0, ERROR_SUCCESS, needed},
      {"exact buffer", L"PortName", true, needed, ERROR_SUCCESS, needed},
      {"larger buffer reports the data size", L"PortName", true, needed + 40, ERROR_SUCCESS,
       needed},
      {"no room for the terminator", L"PortName", true, needed - DWORD{sizeof(WCHAR)},
       ERROR_MORE_DATA, needed},
      {"empty buffer", L"PortName", true, 0, ERROR_MORE_DATA, needed},
      {"names ignore case", L"portname", false, 0, ERROR_SUCCESS, needed},
      {"missing value", L"Identifier", true, needed, ERROR_FILE_NOT_FOUND, needed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine([&] {
      HKEY key;
      ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
                ERROR_SUCCESS);
      ASSERT_EQ(SetString(key, L"PortName", port), ERROR_SUCCESS);
      std::vector<BYTE> buffer(64, 0xAB);
      DWORD size = c.offered;
      DWORD type = 0xdeadbeef;
      LSTATUS status = RegQueryValueExW(key, c.name, nullptr, &type,
                                        c.withBuffer ? buffer.data() : nullptr, &size);
      EXPECT_EQ(status, c.expected);
      if (status != ERROR_FILE_NOT_FOUND) {
        EXPECT_EQ(size, c.reported);
        EXPECT_EQ(type, DWORD{REG_SZ});
      }
      if (status == ERROR_SUCCESS && c.withBuffer) {
        EXPECT_STREQ(reinterpret_cast<const WCHAR*>(buffer.data()), L"COM12");
        EXPECT_EQ(buffer[needed], 0xAB) << "wrote past the data";
      }
      RegCloseKey(key);
    });
  }
}

TEST(Registry, MalformedCallsAreRefused) {
  OnMachine([] {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    SetString(key, L"PortName", L"COM3");
    BYTE buffer[64];
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, L"PortName", &reserved, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, L"X", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    // A closed handle, and one that never was.
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x1234), L"", 0, KEY_READ, &key),
              ERROR_INVALID_HANDLE);
  });
}

// What the kernel writes, programs read, and the other way round: one store.
TEST(Registry, ProgramsAndTheKernelShareOneRegistry) {
  OnMachine([] {
    reg::SetString(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                   L"\\Device\\KORVUsbSerial0", L"COM5");
    HKEY map;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"hardware\\devicemap\\serialcomm", 0, KEY_READ, &map),
        ERROR_SUCCESS);
    WCHAR port[8] = {};
    DWORD size = sizeof port;
    EXPECT_EQ(RegQueryValueExW(map, L"\\Device\\KORVUsbSerial0", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(port), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(port, L"COM5");
    RegCloseKey(map);

    HKEY created;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\A\\B", 0, nullptr, 0,
                              KEY_WRITE, nullptr, &created, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    SetString(created, L"Identifier", L"reader");
    RegCloseKey(created);
    std::wstring text;
    EXPECT_TRUE(
        reg::GetString(L"\\Registry\\Machine\\Software\\KorvTest\\A\\B", L"Identifier", &text));
    EXPECT_EQ(text, L"reader");
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\A\\B", 0, nullptr, 0,
                              KEY_READ, nullptr, &created, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    RegCloseKey(created);
  });
}

// Subkeys come sorted without regard to case, whatever order they were made
// in; names are counted in characters and must fit with their terminator.
TEST(Registry, EnumerationOrderAndNameLengths) {
  OnMachine([] {
    reg::Key* base = reg::Create(reg::Root(), L"Machine\\SOFTWARE\\KorvTest");
    for (const wchar_t* name : {L"b-second", L"Device Parameters", L"A-first", L"c"}) {
      reg::Create(base, name);
    }
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD subkeys = 0, longest = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longest, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    EXPECT_EQ(longest, 17u) << "characters of \"Device Parameters\", no terminator";
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
      WCHAR name[256];
      DWORD chars = 256;
      LSTATUS status = RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      ASSERT_EQ(status, ERROR_SUCCESS);
      EXPECT_EQ(chars, std::wstring(name).size());
      names.push_back(name);
    }
    EXPECT_EQ(names,
              (std::vector<std::wstring>{L"A-first", L"b-second", L"c", L"Device Parameters"}));
    WCHAR name[17];
    DWORD chars = 17;  // the name without its terminator
    EXPECT_EQ(RegEnumKeyExW(key, 3, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    RegCloseKey(key);
  });
}

TEST(Registry, ValueEnumerationReportsNamesTypesAndData) {
  OnMachine([] {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    SetString(key, L"PortName", L"COM3");
    DWORD skip = 1;
    RegSetValueExW(key, L"SerialSkipExternalNaming", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&skip), sizeof skip);
    DWORD values = 0, longestName = 0, longestData = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               &longestName, &longestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longestName, 24u);
    EXPECT_EQ(longestData, Bytes(L"COM3"));

    WCHAR name[32];
    DWORD chars = 32, type = 0, data = 0, size = sizeof data;
    EXPECT_EQ(
        RegEnumValueW(key, 1, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(name, L"SerialSkipExternalNaming");
    EXPECT_EQ(chars, 24u);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(data, 1u);
    chars = 32;
    size = 2;
    BYTE small[2];
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, Bytes(L"COM3"));
    chars = 4;  // "PortName" needs 9
    EXPECT_EQ(RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    chars = 32;
    EXPECT_EQ(RegEnumValueW(key, 2, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
  });
}

// Only a key without subkeys can be deleted; a handle to a deleted key
// fails from then on, and closing it still balances the count.
TEST(Registry, DeletingKeysAndValues) {
  OnMachine([] {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\Leaf", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    SetString(key, L"PortName", L"COM3");
    EXPECT_EQ(RegDeleteValueW(key, L"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTestKey), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\Nothing"),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\KorvTest\\Leaf"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, L"PortName", nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTestKey), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    reg::Key* guarded = reg::Create(reg::Root(), L"Machine\\SOFTWARE\\Guarded");
    reg::DenyAccess(guarded, DELETE);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Guarded"), ERROR_ACCESS_DENIED);
  });
}

// Every handle counts until it is closed; the predefined keys never do.
TEST(Registry, OpenHandlesAreCounted) {
  OnMachine([] {
    LONG before = reg::OpenKeyCount();
    HKEY a, b;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, &a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(a, nullptr, 0, KEY_READ, &b), ERROR_SUCCESS);
    EXPECT_NE(a, b);
    EXPECT_EQ(reg::OpenKeyCount(), before + 2);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_EQ(reg::OpenKeyCount(), before);
  });
}

TEST(RegistryDeathTest, AKeyLeftOpenFailsTheTeardownCheck) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         HKEY key;
                         RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, &key);
                         wk::CheckCleanMachine();
                       }),
               "1 open registry key");
}

}  // namespace
