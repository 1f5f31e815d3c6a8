// The driver store in C:\Windows\INF: INFs copied in as oem<N>.inf (or found
// there already), removed again unless a device was installed from them, and
// their signatures verified as the machine records them. The last error is
// checked against a sentinel around every call.
#include "winsim/machine/driver_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/devices.h"
#include "winsim/machine/files.h"

namespace {

namespace wm = winsim::machine;

constexpr DWORD kSentinel = 0xdeadbeef;

const char kReaderInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\nProvider=Korv\r\n"
    "CatalogFile=korvusb.cat\r\n";
const char kOtherInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\nProvider=Other\r\n";
const wchar_t kSource[] = L"C:\\Package\\korvusb.inf";
const wchar_t kStore[] = L"C:\\Windows\\INF\\";

void OnMachine(const std::function<void()>& body) {
  winsim::kernel::Run(0, [&] {
    body();
    winsim::kernel::CheckCleanMachine();
  });
}

std::wstring InStore(const std::wstring& name) { return kStore + name; }

std::string Contents(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  EXPECT_EQ(wm::ReadWholeFile(path, &bytes), DWORD{ERROR_SUCCESS}) << testing::PrintToString(path);
  return std::string(bytes.begin(), bytes.end());
}

// The store's oem*.inf names, in order, separated by blanks.
std::wstring OemInfList() {
  std::wstring list;
  for (const std::wstring& name : wm::OemInfs()) list += (list.empty() ? L"" : L" ") + name;
  return list;
}

struct Copied {
  BOOL ok;
  DWORD error;
  std::wstring path;  // what the buffer holds
  std::wstring name;  // where the component pointer points
  DWORD required;
};

Copied Copy(const wchar_t* source, DWORD style = 0) {
  Copied c{};
  WCHAR buffer[MAX_PATH] = {};
  PWSTR component = nullptr;
  SetLastError(kSentinel);
  c.ok = SetupCopyOEMInfW(source, nullptr, SPOST_PATH, style, buffer, MAX_PATH, &c.required,
                          &component);
  c.error = GetLastError();
  c.path = buffer;
  if (component != nullptr) {
    EXPECT_TRUE(component >= buffer && component < buffer + MAX_PATH) << "not in the buffer";
    c.name = component;
  }
  return c;
}

DWORD Uninstall(const wchar_t* name, DWORD flags = 0, PVOID reserved = nullptr) {
  SetLastError(kSentinel);
  BOOL ok = SetupUninstallOEMInfW(name, flags, reserved);
  DWORD error = GetLastError();
  EXPECT_EQ(ok != FALSE, error == ERROR_SUCCESS) << "returned " << ok << ", error " << error;
  return error;
}

// ---- copying in ------------------------------------------------------------------

TEST(SetupCopyOEMInf, CopiesTakeTheLowestFreeNamesWithAPrecompiledFileBeside) {
  OnMachine([] {
    wm::PutFile(kSource, kReaderInf);
    wm::PutFile(L"C:\\Package\\other.inf", kOtherInf);
    wm::PutFile(InStore(L"OEM1.INF"), "[Version]\r\nSignature=\"$Chicago$\"\r\n");

    Copied first = Copy(kSource);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.error, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(first.path, L"C:\\Windows\\INF\\oem0.inf");
    EXPECT_EQ(first.name, L"oem0.inf");
    EXPECT_EQ(first.required, first.path.size() + 1);
    EXPECT_EQ(Contents(first.path), kReaderInf);
    EXPECT_TRUE(wm::FileExists(InStore(L"oem0.PNF")));

    // OEM1.INF is taken whatever its case.
    Copied second = Copy(L"C:\\Package\\other.inf");
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.name, L"oem2.inf");
    EXPECT_EQ(Contents(second.path), kOtherInf);
    EXPECT_EQ(OemInfList(), L"oem0.inf OEM1.INF oem2.inf");
  });
}

// What is in the store decides whether anything is copied and what is reported.
TEST(SetupCopyOEMInf, AnIdenticalInfInTheStoreIsReportedInsteadOfCopied) {
  struct Row {
    const char* what;
    const wchar_t* present;  // put in the store first, identical or not
    bool identical;
    DWORD style;
    DWORD error;
    const wchar_t* reported;
    const wchar_t* oemInfs;  // afterwards
  };
  const Row rows[] = {
      {"empty store", nullptr, false, 0, ERROR_SUCCESS, L"oem0.inf", L"oem0.inf"},
      {"identical oem INF", L"oem4.inf", true, 0, ERROR_SUCCESS, L"oem4.inf", L"oem4.inf"},
      {"identical oem INF, no overwriting", L"oem4.inf", true, SP_COPY_NOOVERWRITE,
       ERROR_FILE_EXISTS, L"oem4.inf", L"oem4.inf"},
      {"identical under the source's name", L"KORVUSB.INF", true, 0, ERROR_SUCCESS, L"KORVUSB.INF",
       L""},
      {"other under the source's name", L"korvusb.inf", false, 0, ERROR_SUCCESS, L"oem0.inf",
       L"oem0.inf"},
      {"other as oem0, no overwriting", L"oem0.inf", false, SP_COPY_NOOVERWRITE, ERROR_SUCCESS,
       L"oem1.inf", L"oem0.inf oem1.inf"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    OnMachine([&] {
      wm::PutFile(kSource, kReaderInf);
      if (r.present != nullptr) {
        wm::PutFile(InStore(r.present), r.identical ? kReaderInf : kOtherInf);
      }
      Copied c = Copy(kSource, r.style);
      EXPECT_EQ(c.ok != FALSE, r.error == ERROR_SUCCESS);
      EXPECT_EQ(c.error, r.error);
      EXPECT_EQ(c.path, InStore(r.reported));
      EXPECT_EQ(c.name, r.reported);
      EXPECT_EQ(OemInfList(), r.oemInfs);
    });
  }
}

TEST(SetupCopyOEMInf, RefusalsCopyNothing) {
  struct Row {
    const char* what;
    const wchar_t* source;
    DWORD mediaType;
    DWORD style;
    DWORD size;  // of a missing buffer, when not 0
    DWORD error;
  };
  const Row rows[] = {
      {"missing file", L"C:\\Package\\none.inf", SPOST_PATH, 0, 0, ERROR_FILE_NOT_FOUND},
      {"missing directory", L"C:\\Elsewhere\\korvusb.inf", SPOST_PATH, 0, 0, ERROR_PATH_NOT_FOUND},
      {"no Windows 4 INF", L"C:\\Package\\old.inf", SPOST_PATH, 0, 0, ERROR_WRONG_INF_STYLE},
      {"syntax error", L"C:\\Package\\broken.inf", SPOST_PATH, 0, 0, ERROR_BAD_SECTION_NAME_LINE},
      {"no source", nullptr, SPOST_PATH, 0, 0, ERROR_INVALID_PARAMETER},
      {"unknown media type", kSource, SPOST_MAX, 0, 0, ERROR_INVALID_PARAMETER},
      {"undocumented copy style", kSource, SPOST_NONE, 0x0000004 /* SP_COPY_NEWER */, 0,
       ERROR_INVALID_FLAGS},
      {"size without a buffer", kSource, SPOST_NONE, 0, MAX_PATH, ERROR_INVALID_PARAMETER},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    OnMachine([&] {
      wm::PutFile(kSource, kReaderInf);
      wm::PutFile(L"C:\\Package\\old.inf", "[Version]\r\nSignature=\"$Windows 3.1$\"\r\n");
      wm::PutFile(L"C:\\Package\\broken.inf", std::string(kReaderInf) + "[Strings\r\n");
      DWORD required = kSentinel;
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupCopyOEMInfW(r.source, nullptr, r.mediaType, r.style, nullptr, r.size,
                                    &required, nullptr));
      EXPECT_EQ(GetLastError(), r.error);
      EXPECT_EQ(required, kSentinel);
      EXPECT_TRUE(wm::OemInfs().empty());
    });
  }
}

// The INF is in the store by the time the buffer turns out too small; asking
// again finds it there.
TEST(SetupCopyOEMInf, ABufferTooSmallFailsAfterTheCopy) {
  OnMachine([] {
    wm::PutFile(kSource, kReaderInf);
    const std::wstring expected = InStore(L"oem0.inf");
    const DWORD needed = static_cast<DWORD>(expected.size() + 1);
    WCHAR buffer[MAX_PATH];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    DWORD required = 0;
    PWSTR component = buffer;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupCopyOEMInfW(kSource, nullptr, SPOST_NONE, 0, buffer, needed - 1, &required,
                                  &component));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(required, needed);
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(component, buffer) << "set on failure";
    EXPECT_EQ(OemInfList(), L"oem0.inf");

    // Without a buffer there is nothing to overflow: only the size comes back.
    required = 0;
    SetLastError(kSentinel);
    EXPECT_TRUE(
        SetupCopyOEMInfW(kSource, nullptr, SPOST_NONE, 0, nullptr, 0, &required, &component));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(required, needed);
    EXPECT_EQ(component, nullptr);

    SetLastError(kSentinel);
    EXPECT_TRUE(
        SetupCopyOEMInfW(kSource, nullptr, SPOST_NONE, 0, buffer, needed, nullptr, &component));
    EXPECT_EQ(std::wstring(buffer), expected);
    EXPECT_EQ(std::wstring(component), L"oem0.inf");
    EXPECT_EQ(OemInfList(), L"oem0.inf");
  });
}

TEST(SetupCopyOEMInfDeathTest, WhatIsNotModelledStopsTheRun) {
  auto copyWith = [](DWORD mediaType, DWORD style) {
    winsim::kernel::Run(0, [&] {
      wm::PutFile(kSource, kReaderInf);
      SetupCopyOEMInfW(kSource, L"http://example.invalid/", mediaType, style, nullptr, 0, nullptr,
                       nullptr);
    });
  };
  EXPECT_DEATH(copyWith(SPOST_URL, 0), "SPOST_URL is not modelled");
  EXPECT_DEATH(copyWith(SPOST_PATH, SP_COPY_DELETESOURCE), "copy styles .* not modelled");
}

// ---- uninstalling ----------------------------------------------------------------

TEST(SetupUninstallOEMInf, RemovesTheInfWithItsPnfAndSignature) {
  OnMachine([] {
    wm::PutFile(kSource, kReaderInf);
    ASSERT_EQ(Copy(kSource).name, L"oem0.inf");
    wm::SignInf(L"oem0.inf", L"Korv Signer");
    EXPECT_EQ(Uninstall(L"OEM0.INF"), DWORD{ERROR_SUCCESS});
    EXPECT_FALSE(wm::FileExists(InStore(L"oem0.inf")));
    EXPECT_FALSE(wm::FileExists(InStore(L"oem0.PNF")));
    EXPECT_TRUE(wm::FileExists(kSource));

    // The name comes free again, and its catalog went with the INF.
    ASSERT_EQ(Copy(kSource).name, L"oem0.inf");
    SP_INF_SIGNER_INFO_W info{};
    info.cbSize = sizeof info;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupVerifyInfFileW(L"oem0.inf", nullptr, &info));
    EXPECT_EQ(GetLastError(), ERROR_NO_CATALOG_FOR_OEM_INF);
    EXPECT_EQ(Uninstall(L"oem0.inf"), DWORD{ERROR_SUCCESS});
  });
}

TEST(SetupUninstallOEMInf, RefusesAnythingButAnInstalledOemInfByName) {
  struct Row {
    const char* what;
    const wchar_t* name;
    DWORD flags;
    bool reserved;
    DWORD error;
  };
  const Row rows[] = {
      {"not an oem name", L"korvusb.inf", 0, false, ERROR_NOT_AN_INSTALLED_OEM_INF},
      {"not in the store", L"oem7.inf", 0, false, ERROR_NOT_AN_INSTALLED_OEM_INF},
      {"a path", L"C:\\Windows\\INF\\oem0.inf", 0, false, ERROR_NOT_AN_INSTALLED_OEM_INF},
      {"the precompiled file", L"oem0.PNF", 0, false, ERROR_NOT_AN_INSTALLED_OEM_INF},
      {"no name", nullptr, 0, false, ERROR_INVALID_PARAMETER},
      {"unknown flag", L"oem0.inf", SUOI_FORCEDELETE | 2, false, ERROR_INVALID_FLAGS},
      {"reserved argument", L"oem0.inf", 0, true, ERROR_INVALID_PARAMETER},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    OnMachine([&] {
      wm::PutFile(kSource, kReaderInf);
      wm::PutFile(InStore(L"korvusb.inf"), kOtherInf);
      ASSERT_EQ(Copy(kSource).name, L"oem0.inf");
      DWORD reserved = 0;
      EXPECT_EQ(Uninstall(r.name, r.flags, r.reserved ? &reserved : nullptr), r.error);
      EXPECT_TRUE(wm::FileExists(InStore(L"oem0.inf")));
      EXPECT_TRUE(wm::FileExists(InStore(L"oem0.PNF")));
      EXPECT_TRUE(wm::FileExists(InStore(L"korvusb.inf")));
    });
  }
}

// A device installed from an INF keeps it, present or not, until forced.
TEST(SetupUninstallOEMInf, AnInfADeviceWasInstalledFromStaysUnlessForced) {
  OnMachine([] {
    for (const char* text : {kReaderInf, kOtherInf}) {
      wm::PutFile(kSource, text);
      Copy(kSource);
    }
    wm::PutFile(kSource, "[Version]\r\nSignature=\"$Windows NT$\"\r\nProvider=Third\r\n");
    ASSERT_EQ(Copy(kSource).name, L"oem2.inf");
    wm::AddDevice({.instanceId = L"USB\\VID_2E6B&PID_7A31\\OLD1",
                   .className = L"Ports",
                   .infPath = L"oem1.inf"});
    wm::AddDevice({.instanceId = L"USB\\VID_2E6B&PID_7A31\\5&1",
                   .className = L"Ports",
                   .present = true,
                   .infPath = L"OEM0.INF"});

    // Each installation has its own driver key, in the order they were made.
    std::wstring driver;
    ASSERT_TRUE(winsim::registry::GetString(
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_2E6B&PID_7A31\\5&1",
        L"Driver", &driver));
    EXPECT_EQ(driver, L"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001");

    EXPECT_EQ(Uninstall(L"oem0.inf"), ERROR_INF_IN_USE_BY_DEVICES);
    EXPECT_EQ(Uninstall(L"oem1.inf"), ERROR_INF_IN_USE_BY_DEVICES);
    EXPECT_EQ(Uninstall(L"oem2.inf"), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(OemInfList(), L"oem0.inf oem1.inf");
    EXPECT_EQ(Uninstall(L"oem0.inf", SUOI_FORCEDELETE), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(OemInfList(), L"oem1.inf");
  });
}

// ---- verifying -------------------------------------------------------------------

// Filled with a mark, so what the call leaves alone shows.
SP_INF_SIGNER_INFO_W MarkedSignerInfo(DWORD size = sizeof(SP_INF_SIGNER_INFO_W)) {
  SP_INF_SIGNER_INFO_W info;
  std::memset(&info, 0xAB, sizeof info);
  info.cbSize = size;
  return info;
}

bool Untouched(const WCHAR* field) {
  WCHAR mark;
  std::memset(&mark, 0xAB, sizeof mark);
  return field[0] == mark;
}

const wchar_t kCatalog[] =
    L"C:\\Windows\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\oem0.cat";

TEST(SetupVerifyInfFile, ReportsHowTheSignatureVerifies) {
  struct Row {
    const char* what;
    DWORD verifyError;  // of the record
    bool signed_;       // a record exists
    const wchar_t* name;
    DWORD error;
    bool signerReported;
  };
  const Row rows[] = {
      {"verified", 0, true, L"oem0.inf", ERROR_SUCCESS, true},
      {"verified, by another spelling of its path", 0, true, L"c:\\windows\\inf\\..\\INF\\OEM0.INF",
       ERROR_SUCCESS, true},
      {"trusted publisher", ERROR_AUTHENTICODE_TRUSTED_PUBLISHER, true, L"oem0.inf",
       ERROR_AUTHENTICODE_TRUSTED_PUBLISHER, true},
      {"trust not established", ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED, true, L"oem0.inf",
       ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED, true},
      {"publisher disallowed", ERROR_AUTHENTICODE_DISALLOWED, true, L"oem0.inf",
       ERROR_AUTHENTICODE_DISALLOWED, false},
      {"unsigned", 0, false, L"oem0.inf", ERROR_NO_CATALOG_FOR_OEM_INF, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    OnMachine([&] {
      wm::PutFile(InStore(L"oem0.inf"), kReaderInf);
      if (r.signed_) wm::SignInf(L"oem0.inf", L"Korv Hardware Publisher", r.verifyError);
      SP_INF_SIGNER_INFO_W info = MarkedSignerInfo();
      SetLastError(kSentinel);
      EXPECT_EQ(SetupVerifyInfFileW(r.name, nullptr, &info) != FALSE, r.error == ERROR_SUCCESS);
      EXPECT_EQ(GetLastError(), r.error);
      if (r.signerReported) {
        EXPECT_EQ(std::wstring(info.DigitalSigner), L"Korv Hardware Publisher");
        EXPECT_EQ(std::wstring(info.CatalogFile), kCatalog);
        EXPECT_EQ(std::wstring(info.DigitalSignerVersion), L"");
      } else {
        EXPECT_TRUE(Untouched(info.DigitalSigner));
        EXPECT_TRUE(Untouched(info.CatalogFile));
      }
    });
  }
}

TEST(SetupVerifyInfFile, RefusesMissingFilesAndBadRecords) {
  struct Row {
    const char* what;
    const wchar_t* name;
    DWORD cbSize;
    DWORD error;
  };
  const Row rows[] = {
      {"not in the INF directory", L"oem9.inf", sizeof(SP_INF_SIGNER_INFO_W), ERROR_FILE_NOT_FOUND},
      {"missing directory", L"C:\\Elsewhere\\oem0.inf", sizeof(SP_INF_SIGNER_INFO_W),
       ERROR_PATH_NOT_FOUND},
      {"no name", nullptr, sizeof(SP_INF_SIGNER_INFO_W), ERROR_INVALID_PARAMETER},
      {"size zero", L"oem0.inf", 0, ERROR_INVALID_USER_BUFFER},
      {"size of the ANSI record", L"oem0.inf", 4 + 3 * MAX_PATH, ERROR_INVALID_USER_BUFFER},
      {"size past both records", L"oem0.inf", sizeof(SP_INF_SIGNER_INFO_W) + 8,
       ERROR_INVALID_USER_BUFFER},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    OnMachine([&] {
      wm::PutFile(InStore(L"oem0.inf"), kReaderInf);
      wm::SignInf(L"oem0.inf", L"Korv Hardware Publisher");
      SP_INF_SIGNER_INFO_W info = MarkedSignerInfo(r.cbSize);
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupVerifyInfFileW(r.name, nullptr, &info));
      EXPECT_EQ(GetLastError(), r.error);
      EXPECT_TRUE(Untouched(info.DigitalSigner));
    });
  }
}

// The record newer SDKs declare ends in a score; the shorter one must not
// be written past.
TEST(SetupVerifyInfFile, TheScoreGoesOnlyIntoTheLongerRecord) {
  struct LongerRecord {
    SP_INF_SIGNER_INFO_W info;
    DWORD SignerScore;
  };
  static_assert(sizeof(LongerRecord) == 1568);
  struct Row {
    DWORD verifyError;
    DWORD score;
  };
  const Row rows[] = {{0, 0x0D000005 /* WHQL */},
                      {ERROR_AUTHENTICODE_TRUSTED_PUBLISHER, 0x0F000000 /* Authenticode */}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.verifyError);
    OnMachine([&] {
      wm::PutFile(InStore(L"oem0.inf"), kReaderInf);
      wm::SignInf(L"oem0.inf", L"Korv Hardware Publisher", r.verifyError);
      for (DWORD size : {DWORD{sizeof(SP_INF_SIGNER_INFO_W)}, DWORD{sizeof(LongerRecord)}}) {
        LongerRecord record{MarkedSignerInfo(size), kSentinel};
        SetLastError(kSentinel);
        EXPECT_EQ(SetupVerifyInfFileW(L"oem0.inf", nullptr, &record.info) != FALSE,
                  r.verifyError == 0);
        EXPECT_EQ(GetLastError(), r.verifyError);
        EXPECT_EQ(record.SignerScore, size == sizeof record ? r.score : kSentinel);
      }
    });
  }
}

}  // namespace
