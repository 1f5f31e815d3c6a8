// Token privileges and restarts: the machine restarts only for a process
// that enabled SeShutdownPrivilege, records every request, and lets a test
// take the privilege away, fail the token or refuse the shutdown.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/settings.h"

namespace {

namespace wk = winsim::kernel;
namespace machine = winsim::machine;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr DWORD kInstallationReason =
    SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_HARDWARE | SHTDN_REASON_MINOR_INSTALLATION;

template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

// The documented sequence, step by step, each step's result and last error
// kept for the test to look at.
struct Steps {
  BOOL lookedUp = FALSE;
  DWORD lookupError = 0;
  BOOL opened = FALSE;
  DWORD openError = 0;
  BOOL adjusted = FALSE;
  DWORD adjustError = 0;
};

Steps EnableShutdownPrivilege(DWORD tokenAccess) {
  Steps s;
  LUID luid{};
  SetLastError(kSentinel);
  s.lookedUp = LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &luid);
  s.lookupError = GetLastError();
  HANDLE token = nullptr;
  SetLastError(kSentinel);
  s.opened = OpenProcessToken(GetCurrentProcess(), tokenAccess, &token);
  s.openError = GetLastError();
  if (!s.opened) return s;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid = luid;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(kSentinel);
  s.adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  s.adjustError = GetLastError();
  EXPECT_TRUE(CloseHandle(token));
  return s;
}

TEST(Security, TheDocumentedSequenceRestartsTheMachine) {
  OnMachine([] {
    EXPECT_FALSE(machine::PrivilegeEnabled(L"SeShutdownPrivilege"));
    Steps s = EnableShutdownPrivilege(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
    EXPECT_TRUE(s.lookedUp);
    EXPECT_EQ(s.lookupError, kSentinel);
    EXPECT_TRUE(s.opened);
    EXPECT_TRUE(s.adjusted);
    EXPECT_EQ(s.adjustError, DWORD{ERROR_SUCCESS}) << "all privileges were assigned";
    EXPECT_TRUE(machine::PrivilegeEnabled(L"SeShutdownPrivilege"));
    SetLastError(kSentinel);
    EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_EQ(machine::RestartRequests().size(), 1u);
    const machine::RestartRequest& r = machine::RestartRequests()[0];
    EXPECT_EQ(r.function, L"ExitWindowsEx");
    EXPECT_EQ(r.flags, UINT{EWX_REBOOT});
    EXPECT_EQ(r.reason, 0u);
    EXPECT_TRUE(r.reboot);
    EXPECT_EQ(r.error, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(machine::RestartsAccepted(), 1);
    // A second request while the first is under way is refused.
    SetLastError(kSentinel);
    EXPECT_FALSE(InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, kInstallationReason));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHUTDOWN_IN_PROGRESS});
    EXPECT_EQ(machine::RestartRequests().size(), 2u);
    EXPECT_EQ(machine::RestartsAccepted(), 1);
  });
}

// Each way the sequence can fail, and what the restart then does.
TEST(Security, FailuresAlongTheWay) {
  struct Case {
    const char* what;
    void (*setup)();
    DWORD tokenAccess;
    BOOL opened;
    DWORD openError;
    DWORD adjustError;  // when opened
    DWORD restartError;
  };
  const DWORD full = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
  const Case cases[] = {
      {"privilege enabled", [] {}, full, TRUE, kSentinel, ERROR_SUCCESS, ERROR_SUCCESS},
      {"token cannot be opened", [] { machine::FailOpenProcessToken(ERROR_ACCESS_DENIED); }, full,
       FALSE, ERROR_ACCESS_DENIED, 0, ERROR_PRIVILEGE_NOT_HELD},
      {"token lacks the privilege", [] { machine::RemovePrivilege(L"SeShutdownPrivilege"); }, full,
       TRUE, kSentinel, ERROR_NOT_ALL_ASSIGNED, ERROR_PRIVILEGE_NOT_HELD},
      {"token opened for querying only", [] {}, TOKEN_QUERY, TRUE, kSentinel, ERROR_ACCESS_DENIED,
       ERROR_PRIVILEGE_NOT_HELD},
      {"shutdown refused", [] { machine::RefuseShutdown(ERROR_NOT_READY); }, full, TRUE, kSentinel,
       ERROR_SUCCESS, ERROR_NOT_READY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine([&] {
      c.setup();
      Steps s = EnableShutdownPrivilege(c.tokenAccess);
      EXPECT_EQ(s.opened, c.opened);
      EXPECT_EQ(s.openError, c.openError);
      if (s.opened) {
        EXPECT_EQ(s.adjustError, c.adjustError);
      }
      SetLastError(kSentinel);
      BOOL restarted =
          InitiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE, kInstallationReason);
      EXPECT_EQ(restarted, c.restartError == ERROR_SUCCESS);
      EXPECT_EQ(GetLastError(), restarted ? kSentinel : c.restartError);
      ASSERT_EQ(machine::RestartRequests().size(), 1u) << "refused requests are recorded too";
      const machine::RestartRequest& r = machine::RestartRequests()[0];
      EXPECT_EQ(r.function, L"InitiateSystemShutdownExW");
      EXPECT_EQ(r.reason, kInstallationReason);
      EXPECT_EQ(r.timeout, 0u);
      EXPECT_FALSE(r.forceAppsClosed);
      EXPECT_TRUE(r.reboot);
      EXPECT_EQ(r.error, c.restartError);
    });
  }
}

TEST(Security, PreviousStateAndDisablingAgain) {
  OnMachine([] {
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
    LUID luid;
    ASSERT_TRUE(LookupPrivilegeValueW(L"", L"seshutdownprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 19u);
    EXPECT_EQ(luid.HighPart, 0);
    TOKEN_PRIVILEGES enable{1, {{luid, SE_PRIVILEGE_ENABLED}}};
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    // Asking for the previous state needs TOKEN_QUERY as well.
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &enable, sizeof previous, &previous, &length));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    CloseHandle(token);

    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &enable, 4, &previous, &length));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(length, DWORD{sizeof(TOKEN_PRIVILEGES)});
    EXPECT_FALSE(machine::PrivilegeEnabled(L"SeShutdownPrivilege"))
        << "a failed call changes nothing";
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &enable, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 19u);
    EXPECT_EQ(previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED, 0u);
    EXPECT_TRUE(machine::PrivilegeEnabled(L"SeShutdownPrivilege"));
    // Handing back the previous state disables it again.
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &previous, 0, nullptr, nullptr));
    EXPECT_FALSE(machine::PrivilegeEnabled(L"SeShutdownPrivilege"));
    SetLastError(kSentinel);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PRIVILEGE_NOT_HELD});
    // Logging off needs no privilege.
    EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 0));
    EXPECT_EQ(machine::RestartsAccepted(), 1);
    CloseHandle(token);
  });
}

TEST(Security, RefusedArguments) {
  OnMachine([] {
    LUID luid;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SUCH_PRIVILEGE});
    HANDLE token = nullptr;
    SetLastError(kSentinel);
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x1234), TRUE, nullptr, 0, nullptr,
                                       nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    WCHAR remote[] = L"\\\\elsewhere";
    SetLastError(kSentinel);
    EXPECT_FALSE(InitiateSystemShutdownExW(remote, nullptr, 0, FALSE, TRUE, 0));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BAD_NETPATH});
    EXPECT_TRUE(machine::RestartRequests().empty());
  });
}

TEST(SecurityDeathTest, ATokenLeftOpenFailsTheTeardownCheck) {
  EXPECT_DEATH(wk::Run(0,
                       [] {
                         HANDLE token;
                         OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
                         wk::CheckCleanMachine();
                       }),
               "1 program object handle");
}

// The version the machine reports, for the versions the uninstaller knows
// and two it does not; the size field must name one of the two records.
TEST(Version, ReportsTheMachinesVersion) {
  const machine::Version versions[] = {
      {5, 0, 2195, 2, L"Service Pack 4", 4, 0},
      {5, 1, 2600, 2, L"Service Pack 3", 3, 0},
      {5, 2, 3790, 2, L"Service Pack 2", 2, 0},
      {6, 0, 6002, 2, L"Service Pack 2", 2, 0},
      {6, 1, 7601, 2, L"Service Pack 1", 1, 0},
      {6, 2, 9200, 2, L"", 0, 0},
      {6, 3, 9600, 2, L"", 0, 0},
      {10, 0, 19045, 2, L"", 0, 0},
  };
  for (const machine::Version& v : versions) {
    SCOPED_TRACE(testing::Message() << v.major << "." << v.minor);
    OnMachine([&] {
      machine::SetVersion(v);
      OSVERSIONINFOW info{};
      info.dwOSVersionInfoSize = sizeof info;
      SetLastError(kSentinel);
      ASSERT_TRUE(GetVersionExW(&info));
      EXPECT_EQ(GetLastError(), kSentinel);
      EXPECT_EQ(info.dwMajorVersion, v.major);
      EXPECT_EQ(info.dwMinorVersion, v.minor);
      EXPECT_EQ(info.dwBuildNumber, v.build);
      EXPECT_EQ(info.dwPlatformId, DWORD{VER_PLATFORM_WIN32_NT});
      EXPECT_EQ(std::wstring(info.szCSDVersion), v.servicePack);
      OSVERSIONINFOEXW ex{};
      ex.dwOSVersionInfoSize = sizeof ex;
      ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)));
      EXPECT_EQ(ex.wServicePackMajor, v.servicePackMajor);
      EXPECT_EQ(ex.wProductType, VER_NT_WORKSTATION);
    });
  }
  OnMachine([] {
    OSVERSIONINFOW info{};
    for (DWORD size : {DWORD{0}, DWORD{sizeof info - 1}, DWORD{sizeof info + 1}}) {
      info.dwOSVersionInfoSize = size;
      SetLastError(kSentinel);
      EXPECT_FALSE(GetVersionExW(&info));
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    }
    EXPECT_EQ(machine::CurrentVersion().major, 6u) << "each run starts from the default";
  });
}

}  // namespace
