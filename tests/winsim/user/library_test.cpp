// Run-time binding: libraries found by name, functions by name, references
// counted, and libraries or functions a test takes away.
#include <gtest/gtest.h>

#include "platform/win32.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/libraries.h"

namespace {

namespace wk = winsim::kernel;
namespace machine = winsim::machine;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kSuoiForceDelete = 1;

DWORD g_flagsSeen;

BOOL WINAPI FakeUninstall(PCWSTR, DWORD flags, PVOID) {
  g_flagsSeen = flags;
  return TRUE;
}

BOOL WINAPI OtherUninstall(PCWSTR, DWORD, PVOID) { return FALSE; }

using UninstallFunction = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);

template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

// The engine's way: load by name, look up, call, release.
TEST(Library, BindAndCallARegisteredFunction) {
  OnMachine([] {
    machine::ReplaceExport(L"setupapi.dll", "SetupUninstallOEMInfW",
                           machine::AsExport(FakeUninstall));
    SetLastError(kSentinel);
    HMODULE setupapi = LoadLibraryW(L"SETUPAPI.DLL");
    ASSERT_NE(setupapi, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    auto uninstall = reinterpret_cast<UninstallFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(setupapi, "SetupUninstallOEMInfW")));
    ASSERT_NE(uninstall, nullptr);
    g_flagsSeen = 0;
    EXPECT_TRUE(uninstall(L"oem3.inf", kSuoiForceDelete, nullptr));
    EXPECT_EQ(g_flagsSeen, kSuoiForceDelete);
    // Names of functions are exact.
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(setupapi, "setupuninstalloeminfw"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
    EXPECT_EQ(machine::LoadCount(L"setupapi.dll"), 1);
    EXPECT_TRUE(FreeLibrary(setupapi));
    EXPECT_EQ(machine::LoadCount(L"setupapi.dll"), 0);
  });
}

TEST(Library, LibrariesAreFoundByNameOrSystemPath) {
  struct Case {
    const wchar_t* name;
    bool found;
  };
  const Case cases[] = {
      {L"setupapi.dll", true},
      {L"setupapi", true},
      {L"NewDev.DLL", true},
      {L"C:\\Windows\\System32\\newdev.dll", true},
      {L"c:\\windows\\system32\\..\\System32\\setupapi", true},
      {L"C:\\Temp\\setupapi.dll", false},
      {L"korvapi.dll", false},
      {L"setupapi.dl", false},
  };
  OnMachine([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
      SetLastError(kSentinel);
      HMODULE module = LoadLibraryW(c.name);
      EXPECT_EQ(module != nullptr, c.found);
      EXPECT_EQ(GetLastError(), c.found ? kSentinel : DWORD{ERROR_MOD_NOT_FOUND});
      if (module != nullptr) {
        EXPECT_TRUE(FreeLibrary(module));
      }
    }
  });
}

// What a test takes away stays away for that run only.
TEST(Library, MissingLibrariesAndFunctions) {
  struct Case {
    const char* what;
    void (*setup)();
    DWORD loadError;  // 0: loads
    DWORD procError;  // 0: found
  };
  const Case cases[] = {
      {"present", [] {}, 0, 0},
      {"library removed", [] { machine::RemoveLibrary(L"SetupAPI.dll"); }, ERROR_MOD_NOT_FOUND, 0},
      {"function removed", [] { machine::RemoveExport(L"setupapi.dll", "SetupUninstallOEMInfW"); },
       0, ERROR_PROC_NOT_FOUND},
      {"other function removed",
       [] { machine::RemoveExport(L"setupapi.dll", "SetupVerifyInfFileW"); }, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine([&] {
      machine::ReplaceExport(L"setupapi.dll", "SetupUninstallOEMInfW",
                             machine::AsExport(FakeUninstall));
      c.setup();
      SetLastError(kSentinel);
      HMODULE module = LoadLibraryW(L"setupapi.dll");
      EXPECT_EQ(GetLastError(), c.loadError ? c.loadError : kSentinel);
      if (module == nullptr) {
        EXPECT_NE(c.loadError, 0u);
        return;
      }
      SetLastError(kSentinel);
      FARPROC f = GetProcAddress(module, "SetupUninstallOEMInfW");
      EXPECT_EQ(f == nullptr, c.procError != 0);
      EXPECT_EQ(GetLastError(), c.procError ? c.procError : kSentinel);
      FreeLibrary(module);
    });
  }
  // The next run has the library and function back, and no fake either.
  OnMachine([] {
    HMODULE module = LoadLibraryW(L"setupapi.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "SetupUninstallOEMInfW"),
              machine::AsExport(SetupUninstallOEMInfW));
    FreeLibrary(module);
  });
}

// What programs here bind at run time is the stand-in's own function.
TEST(Library, TheStandInsFunctionsAreExported) {
  struct Case {
    const wchar_t* library;
    const char* name;
    FARPROC function;
  };
  const Case cases[] = {
      {L"setupapi.dll", "SetupCopyOEMInfW", machine::AsExport(SetupCopyOEMInfW)},
      {L"setupapi.dll", "SetupUninstallOEMInfW", machine::AsExport(SetupUninstallOEMInfW)},
      {L"setupapi.dll", "SetupVerifyInfFileW", machine::AsExport(SetupVerifyInfFileW)},
      {L"ole32.dll", "CLSIDFromString", machine::AsExport(CLSIDFromString)},
  };
  OnMachine([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      HMODULE module = LoadLibraryW(c.library);
      ASSERT_NE(module, nullptr);
      EXPECT_EQ(GetProcAddress(module, c.name), c.function);
      FreeLibrary(module);
    }
  });
}

// The stand-in's own registrations last; a test's replacement wins in its run.
TEST(Library, RegisteredExportsLastAndReplacementsWin) {
  machine::RegisterExport(L"korvtest.dll", "Uninstall", machine::AsExport(OtherUninstall));
  OnMachine([] {
    HMODULE module = LoadLibraryW(L"korvtest");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "Uninstall"), machine::AsExport(OtherUninstall));
    machine::ReplaceExport(L"korvtest.dll", "Uninstall", machine::AsExport(FakeUninstall));
    EXPECT_EQ(GetProcAddress(module, "Uninstall"), machine::AsExport(FakeUninstall));
    FreeLibrary(module);
  });
  OnMachine([] {
    HMODULE module = LoadLibraryW(L"korvtest.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "Uninstall"), machine::AsExport(OtherUninstall));
    FreeLibrary(module);
  });
}

// A handle names the library while a reference is held, and nothing after.
TEST(Library, ReferencesAreCounted) {
  OnMachine([] {
    machine::ReplaceExport(L"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW",
                           machine::AsExport(FakeUninstall));
    HMODULE first = LoadLibraryW(L"newdev.dll");
    HMODULE second = LoadLibraryW(L"newdev");
    EXPECT_EQ(first, second);
    HMODULE setupapi = LoadLibraryW(L"setupapi.dll");
    EXPECT_NE(first, setupapi);
    FreeLibrary(setupapi);
    EXPECT_EQ(machine::LoadCount(L"newdev.dll"), 2);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_NE(GetProcAddress(second, "UpdateDriverForPlugAndPlayDevicesW"), nullptr);
    EXPECT_TRUE(FreeLibrary(second));
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(second, "UpdateDriverForPlugAndPlayDevicesW"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(second));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    // Ordinals are not exported by anything here.
    HMODULE again = LoadLibraryW(L"newdev.dll");
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(again, reinterpret_cast<LPCSTR>(1)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
    FreeLibrary(again);
  });
}

TEST(LibraryDeathTest, AReferenceLeftHeldFailsTheTeardownCheck) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         LoadLibraryW(L"setupapi.dll");
                         wk::CheckCleanMachine();
                       }),
               "1 library reference");
}

}  // namespace
