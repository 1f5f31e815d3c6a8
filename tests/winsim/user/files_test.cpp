// Files on the machine's drive C: the directories a program asks for, full
// path names and PathCombineW, searches, attributes, deletion and reading,
// with the last error checked against a sentinel around every call.
#include "winsim/machine/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/settings.h"
#include "winsim/user/sandbox.h"

namespace {

namespace wk = winsim::kernel;
namespace machine = winsim::machine;

constexpr DWORD kSentinel = 0xdeadbeef;

template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

std::vector<std::wstring> Found(const wchar_t* pattern, DWORD* error) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  SetLastError(kSentinel);
  HANDLE find = FindFirstFileW(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return names;
  }
  do {
    names.push_back(data.cFileName);
    SetLastError(kSentinel);
  } while (FindNextFileW(find, &data));
  *error = GetLastError();
  EXPECT_TRUE(FindClose(find));
  return names;
}

// The buffer protocol: the length when it fits with its terminator, else
// the size needed including it, and the buffer left alone.
TEST(Files, DirectoryQueriesFollowTheBufferProtocol) {
  struct Query {
    const char* what;
    DWORD (*call)(DWORD, LPWSTR);
    std::wstring expected;
  };
  const Query queries[] = {
      {"windows", [](DWORD n, LPWSTR b) -> DWORD { return GetWindowsDirectoryW(b, n); },
       L"C:\\Windows"},
      {"system", [](DWORD n, LPWSTR b) -> DWORD { return GetSystemDirectoryW(b, n); },
       L"C:\\Windows\\System32"},
      {"current", GetCurrentDirectoryW, L"C:\\Windows\\System32"},
      {"temporary", GetTempPathW, L"C:\\Windows\\Temp\\"},
  };
  OnMachine([&] {
    for (const Query& q : queries) {
      SCOPED_TRACE(q.what);
      auto length = static_cast<DWORD>(q.expected.size());
      WCHAR buffer[MAX_PATH];
      buffer[0] = L'#';
      EXPECT_EQ(q.call(length, buffer), length + 1);
      EXPECT_EQ(buffer[0], L'#');
      EXPECT_EQ(q.call(0, nullptr), length + 1);
      EXPECT_EQ(q.call(length + 1, buffer), length);
      EXPECT_EQ(std::wstring(buffer), q.expected);
      SetLastError(kSentinel);
      EXPECT_NE(GetFileAttributesW(buffer) & FILE_ATTRIBUTE_DIRECTORY, 0u);
      EXPECT_EQ(GetLastError(), kSentinel);
    }
  });
}

TEST(Files, FullPathNames) {
  struct Case {
    const wchar_t* input;
    const wchar_t* full;
    const wchar_t* filePart;  // nullptr: none
  };
  const Case cases[] = {
      {L"oem3.inf", L"C:\\Setup\\oem3.inf", L"oem3.inf"},
      {L"..\\Windows\\INF\\oem3.inf", L"C:\\Windows\\INF\\oem3.inf", L"oem3.inf"},
      {L".\\a\\.\\b", L"C:\\Setup\\a\\b", L"b"},
      {L"\\Windows", L"C:\\Windows", L"Windows"},
      {L"C:\\Windows\\..\\..\\x.inf", L"C:\\x.inf", L"x.inf"},
      {L"C:/Windows//INF/", L"C:\\Windows\\INF\\", nullptr},
      {L"C:", L"C:\\Setup", L"Setup"},
      {L"C:x.inf", L"C:\\Setup\\x.inf", L"x.inf"},
      {L"D:x.inf", L"D:\\x.inf", L"x.inf"},
      {L"C:\\", L"C:\\", nullptr},
  };
  OnMachine([&] {
    machine::SetCurrentDirectory(L"C:\\Setup");
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "input " << testing::PrintToString(std::wstring(c.input)));
      WCHAR buffer[MAX_PATH];
      LPWSTR part = reinterpret_cast<LPWSTR>(1);
      auto length = static_cast<DWORD>(std::wstring(c.full).size());
      EXPECT_EQ(GetFullPathNameW(c.input, MAX_PATH, buffer, &part), length);
      EXPECT_STREQ(buffer, c.full);
      if (c.filePart == nullptr) {
        EXPECT_EQ(part, nullptr);
      } else {
        ASSERT_NE(part, nullptr);
        EXPECT_STREQ(part, c.filePart);
        EXPECT_GE(part, buffer);
      }
      EXPECT_EQ(GetFullPathNameW(c.input, length, buffer, &part), length + 1);
    }
    SetLastError(kSentinel);
    EXPECT_EQ(GetFullPathNameW(L"", MAX_PATH, nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_NAME});
  });
}

TEST(Files, PathCombineJoinsWithOneBackslash) {
  const std::wstring longDir = L"C:\\" + std::wstring(250, L'd');  // 253 characters
  struct Case {
    const wchar_t* dir;
    const wchar_t* file;
    std::wstring expected;  // empty: fails
  };
  const Case cases[] = {
      {L"C:\\Windows", L"inf", L"C:\\Windows\\inf"},
      {L"C:\\Windows\\", L"inf", L"C:\\Windows\\inf"},
      {L"C:\\Windows", L"system32\\drivers", L"C:\\Windows\\system32\\drivers"},
      {L"C:\\Windows\\", nullptr, L"C:\\Windows\\"},
      {L"C:\\Windows", L"", L"C:\\Windows"},
      {nullptr, L"C:\\Windows\\inf", L"C:\\Windows\\inf"},
      {L"C:\\Windows\\inf", L"..\\system32", L"C:\\Windows\\system32"},
      {L"C:\\Windows", L".\\inf\\.\\oem3.inf", L"C:\\Windows\\inf\\oem3.inf"},
      {L"C:\\Windows", L"..\\..\\..\\x", L"C:\\x"},
      {L"C:\\Windows\\inf", L"\\x", L"C:\\x"},
      {L"C:\\Windows", L"D:\\x", L"D:\\x"},
      {L"C:", L"One\\Two\\Three", L"C:\\One\\Two\\Three"},
      {nullptr, nullptr, L""},
      {longDir.c_str(), L"01234", longDir + L"\\01234"},  // 259 characters fit
      {longDir.c_str(), L"012345", L""},                  // 260 do not
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << testing::PrintToString(std::wstring(c.dir ? c.dir : L"(null)")) << " + "
                 << testing::PrintToString(std::wstring(c.file ? c.file : L"(null)")));
    WCHAR dest[MAX_PATH];
    dest[0] = L'#';
    LPWSTR result = PathCombineW(dest, c.dir, c.file);
    if (c.expected.empty()) {
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(dest[0], L'\0');
    } else {
      ASSERT_EQ(result, dest);
      EXPECT_EQ(std::wstring(dest), c.expected);
    }
  }
  EXPECT_EQ(PathCombineW(nullptr, L"C:\\", L"x"), nullptr);
}

// The INF directory as the package scan sees it: "oem*.inf" ignores case,
// "?" is one character, and entries come in NTFS order.
TEST(Files, SearchesMatchWithoutRegardToCaseInNtfsOrder) {
  struct Case {
    const wchar_t* pattern;
    std::vector<std::wstring> names;
    DWORD lastError;
  };
  const Case cases[] = {
      {L"C:\\Windows\\INF\\oem*.inf",
       {L"oem1.inf", L"OEM12.INF", L"oem2.inf"},
       ERROR_NO_MORE_FILES},
      {L"c:\\windows\\inf\\OEM?.INF", {L"oem1.inf", L"oem2.inf"}, ERROR_NO_MORE_FILES},
      {L"C:\\Windows\\INF\\*.pnf", {L"oem1.PNF"}, ERROR_NO_MORE_FILES},
      {L"C:\\Windows\\INF\\*",
       {L".", L"..", L"machine.inf", L"oem1.inf", L"oem1.PNF", L"OEM12.INF", L"oem2.inf",
        L"oemx.infx", L"README"},
       ERROR_NO_MORE_FILES},
      {L"C:\\Windows\\INF\\*.*",
       {L".", L"..", L"machine.inf", L"oem1.inf", L"oem1.PNF", L"OEM12.INF", L"oem2.inf",
        L"oemx.infx", L"README"},
       ERROR_NO_MORE_FILES},
      {L"C:\\Windows\\INF\\oem*.sys", {}, ERROR_FILE_NOT_FOUND},
      {L"C:\\Windows\\NoSuchDir\\oem*.inf", {}, ERROR_PATH_NOT_FOUND},
      {L"C:\\Windows\\INF\\README\\*", {}, ERROR_PATH_NOT_FOUND},
      {L"C:\\Windows\\INF\\", {}, ERROR_FILE_NOT_FOUND},
      {L"C:\\Windows", {L"Windows"}, ERROR_NO_MORE_FILES},
  };
  OnMachine([&] {
    for (const wchar_t* name : {L"oem2.inf", L"OEM12.INF", L"oem1.inf", L"oem1.PNF", L"oemx.infx",
                                L"machine.inf", L"README"}) {
      machine::PutFile(std::wstring(L"C:\\Windows\\INF\\") + name, "[Version]\r\n");
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::PrintToString(std::wstring(c.pattern)));
      DWORD error = 0;
      EXPECT_EQ(Found(c.pattern, &error), c.names);
      EXPECT_EQ(error, c.lastError);
    }
  });
}

TEST(Files, SearchReportsSizesAttributesAndClosesOnce) {
  OnMachine([] {
    machine::PutFile(L"C:\\Windows\\System32\\drivers\\KORVUSB.sys", std::string(1500, 'x'),
                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"C:\\Windows\\System32\\drivers\\korv*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, L"KORVUSB.sys");
    EXPECT_EQ(data.nFileSizeLow, 1500u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.dwFileAttributes, DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(data.cAlternateFileName[0], L'\0');
    SetLastError(kSentinel);
    EXPECT_FALSE(FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_FILES});
    EXPECT_TRUE(FindClose(find));
    SetLastError(kSentinel);
    EXPECT_FALSE(FindClose(find));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(kSentinel);
    EXPECT_FALSE(FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  });
}

// DeleteFileW refuses read-only files; the uninstaller's rule (clear
// read-only, keep the rest, then delete) removes them all the same.
TEST(Files, DeletionAndAttributes) {
  const wchar_t kDriver[] = L"C:\\Windows\\System32\\drivers\\KORVCOM.sys";
  struct Case {
    const char* what;
    const wchar_t* path;
    DWORD attributes;  // ~0: do not create
    BOOL deleted;
    DWORD error;
  };
  const Case cases[] = {
      {"plain file", kDriver, 0, TRUE, kSentinel},
      {"archive file", kDriver, FILE_ATTRIBUTE_ARCHIVE, TRUE, kSentinel},
      {"read-only file", kDriver, FILE_ATTRIBUTE_READONLY, FALSE, ERROR_ACCESS_DENIED},
      {"name in another case", L"c:\\WINDOWS\\system32\\DRIVERS\\korvcom.SYS", 0, TRUE, kSentinel},
      {"missing file", kDriver, ~0u, FALSE, ERROR_FILE_NOT_FOUND},
      {"missing directory", L"C:\\Windows\\Nowhere\\KORVCOM.sys", ~0u, FALSE, ERROR_PATH_NOT_FOUND},
      {"a directory", L"C:\\Windows\\INF", ~0u, FALSE, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine([&] {
      if (c.attributes != ~0u) machine::PutFile(kDriver, "MZ", c.attributes);
      SetLastError(kSentinel);
      EXPECT_EQ(DeleteFileW(c.path), c.deleted);
      EXPECT_EQ(GetLastError(), c.error);
      if (c.attributes != ~0u) {
        EXPECT_EQ(machine::FileExists(kDriver), !c.deleted);
      }
    });
  }
  OnMachine([&] {
    machine::PutFile(kDriver, "MZ", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    DWORD attributes = GetFileAttributesW(kDriver);
    EXPECT_EQ(attributes, DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_TRUE(SetFileAttributesW(kDriver, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}));
    EXPECT_EQ(GetFileAttributesW(kDriver), DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_TRUE(DeleteFileW(kDriver));
    EXPECT_FALSE(machine::FileExists(kDriver));
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileAttributesW(kDriver), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    SetLastError(kSentinel);
    EXPECT_FALSE(SetFileAttributesW(kDriver, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    // FILE_ATTRIBUTE_NORMAL alone clears everything.
    machine::PutFile(kDriver, "MZ", FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(SetFileAttributesW(kDriver, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(kDriver), DWORD{FILE_ATTRIBUTE_NORMAL});
  });
}

// A file opened for reading gives its bytes; sharing is enforced against
// other opens, deletion and the stand-in's own whole-file reads.
TEST(Files, ReadingFilesAndSharing) {
  OnMachine([] {
    const std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
    machine::PutFile(L"C:\\Windows\\INF\\oem3.inf", text);
    HANDLE file = CreateFileW(L"C:\\Windows\\INF\\OEM3.INF", GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char head[10] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, head, 9, &read, nullptr));
    EXPECT_EQ(read, 9u);
    EXPECT_EQ(std::string(head), "[Version]");
    std::vector<char> rest(100);
    EXPECT_TRUE(ReadFile(file, rest.data(), 100, &read, nullptr));
    EXPECT_EQ(read, text.size() - 9);
    EXPECT_TRUE(ReadFile(file, rest.data(), 100, &read, nullptr));
    EXPECT_EQ(read, 0u) << "end of file";

    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(L"C:\\Windows\\INF\\oem3.inf", GENERIC_READ, FILE_SHARE_READ, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    SetLastError(kSentinel);
    EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\INF\\oem3.inf"));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    std::vector<uint8_t> bytes;
    EXPECT_EQ(machine::ReadWholeFile(L"C:\\Windows\\INF\\oem3.inf", &bytes),
              DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_TRUE(CloseHandle(file));

    SetLastError(kSentinel);
    EXPECT_EQ(machine::ReadWholeFile(L"C:\\Windows\\INF\\oem3.inf", &bytes), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), text);
    EXPECT_EQ(GetLastError(), kSentinel) << "a helper must not touch the caller's last error";
    EXPECT_EQ(machine::ReadWholeFile(L"C:\\Windows\\INF\\oem4.inf", &bytes),
              DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(machine::ReadWholeFile(L"C:\\Windows\\INF", &bytes), DWORD{ERROR_ACCESS_DENIED});
  });
}

TEST(Files, OpeningRefusals) {
  struct Case {
    const char* what;
    const wchar_t* path;
    DWORD access;
    DWORD disposition;
    DWORD error;
  };
  const Case cases[] = {
      {"missing file", L"C:\\Windows\\INF\\oem9.inf", GENERIC_READ, OPEN_EXISTING,
       ERROR_FILE_NOT_FOUND},
      {"missing directory", L"C:\\Windows\\Nowhere\\oem9.inf", GENERIC_READ, OPEN_EXISTING,
       ERROR_PATH_NOT_FOUND},
      {"a directory", L"C:\\Windows\\INF", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {"writing a read-only file", L"C:\\Windows\\INF\\locked.inf", GENERIC_WRITE, OPEN_EXISTING,
       ERROR_ACCESS_DENIED},
      {"another drive", L"D:\\oem3.inf", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"a bad character", L"C:\\Windows\\INF\\a|b.inf", GENERIC_READ, OPEN_EXISTING,
       ERROR_INVALID_NAME},
  };
  OnMachine([&] {
    machine::PutFile(L"C:\\Windows\\INF\\locked.inf", "x", FILE_ATTRIBUTE_READONLY);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      SetLastError(kSentinel);
      EXPECT_EQ(CreateFileW(c.path, c.access, FILE_SHARE_READ, nullptr, c.disposition, 0, nullptr),
                INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
    }
  });
}

TEST(Files, EachRunHasItsOwnDriveThatIsRemovedAfterIt) {
  std::filesystem::path host;
  OnMachine([&] {
    machine::PutFile(L"C:\\Windows\\System32\\drivers\\KORVUSB.sys", "MZ");
    host = winsim::user::sandbox::Root();
    EXPECT_TRUE(std::filesystem::exists(host));
    EXPECT_EQ(machine::ListDirectory(L"C:\\Windows"),
              (std::vector<std::wstring>{L"INF", L"System32", L"Temp"}));
  });
  EXPECT_FALSE(std::filesystem::exists(host));
  OnMachine(
      [] { EXPECT_FALSE(machine::FileExists(L"C:\\Windows\\System32\\drivers\\KORVUSB.sys")); });
}

TEST(Files, CompareIgnoringCase) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int sign;
  };
  const Case cases[] = {
      {L"USB\\Vid_2e6b&Pid_7a31", L"usb\\VID_2E6B&PID_7A31", 0},
      {L"oem1", L"OEM1", 0},
      {L"oem1", L"oem12", -1},
      {L"OEM2", L"oem12", 1},
      {L"", L"", 0},
      {L"a", L"", 1},
  };
  for (const Case& c : cases) {
    int r = lstrcmpiW(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << testing::PrintToString(std::wstring(c.a)) << " vs "
                                         << testing::PrintToString(std::wstring(c.b));
    int back = lstrcmpiW(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign);
  }
}

TEST(FilesDeathTest, ASearchLeftOpenFailsTheTeardownCheck) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         WIN32_FIND_DATAW data;
                         FindFirstFileW(L"C:\\Windows\\*", &data);
                         wk::CheckCleanMachine();
                       }),
               "1 program object handle");
}

}  // namespace
