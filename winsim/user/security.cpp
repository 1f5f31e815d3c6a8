// The process token: the privileges an elevated administrator's token
// holds, each enabled or not, shared by every handle to the token.
#include "winsim/user/security.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "winsim/machine/settings.h"
#include "winsim/user/errors.h"
#include "winsim/user/last_error.h"
#include "winsim/user/objects.h"
#include "winsim/user/registry.h"
#include "winsim/user/run_state.h"
#include "winsim/user/strings.h"

using winsim::user::ObjectType;

namespace {

constexpr DWORD kRpcServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
constexpr DWORD kTokenAllAccess = 0x000F01FF;
constexpr DWORD kTokenRead = 0x00020008;
constexpr DWORD kTokenWrite = 0x000200E0;

struct Privilege {
  const wchar_t* name;
  DWORD luid;
};

// The system's fixed identifiers of the privileges.
const Privilege kPrivileges[] = {
    {L"SeIncreaseQuotaPrivilege", 5},
    {L"SeSecurityPrivilege", 8},
    {L"SeTakeOwnershipPrivilege", 9},
    {L"SeLoadDriverPrivilege", 10},
    {L"SeSystemProfilePrivilege", 11},
    {L"SeSystemtimePrivilege", 12},
    {L"SeIncreaseBasePriorityPrivilege", 14},
    {L"SeCreatePagefilePrivilege", 15},
    {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},
    {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},
    {L"SeSystemEnvironmentPrivilege", 22},
    {L"SeChangeNotifyPrivilege", 23},
    {L"SeRemoteShutdownPrivilege", 24},
    {L"SeUndockPrivilege", 25},
};
constexpr DWORD kChangeNotify = 23;

struct Token {
  std::map<DWORD, DWORD> held;  // luid -> attributes
  DWORD openError = 0;
  Token() {
    for (const Privilege& p : kPrivileges) held[p.luid] = 0;
    held[kChangeNotify] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
  }
};

Token& TheToken() { return winsim::user::PerRun<Token>("process token"); }

struct TokenHandle : winsim::user::Object {
  explicit TokenHandle(DWORD a) : access(a) {}
  DWORD access;
};

const Privilege* ByName(const wchar_t* name) {
  for (const Privilege& p : kPrivileges) {
    if (name != nullptr && winsim::user::SameNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

using winsim::user::Fail;

DWORD MapGeneric(DWORD access) {
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= kTokenAllAccess;
  if (access & GENERIC_READ) access |= kTokenRead;
  if (access & GENERIC_WRITE) access |= kTokenWrite;
  return access;
}

DWORD SizeFor(size_t count) {
  size_t entries = count > ANYSIZE_ARRAY ? count : ANYSIZE_ARRAY;
  return static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                            entries * sizeof(LUID_AND_ATTRIBUTES));
}

// The changes a call asks for, as (luid, new attributes); false when one of
// them names a privilege the token does not hold.
bool Plan(BOOL disableAll, const TOKEN_PRIVILEGES* state,
          std::vector<std::pair<DWORD, DWORD>>* changes) {
  Token& token = TheToken();
  if (disableAll) {
    for (const auto& [luid, attributes] : token.held) {
      changes->push_back({luid, attributes & ~DWORD{SE_PRIVILEGE_ENABLED}});
    }
    return true;
  }
  bool all = true;
  for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = state->Privileges[i];
    auto held = token.held.find(p.Luid.LowPart);
    if (p.Luid.HighPart != 0 || held == token.held.end()) {
      all = false;
      continue;
    }
    DWORD enabled = p.Attributes & SE_PRIVILEGE_ENABLED;
    DWORD attributes = (held->second & ~DWORD{SE_PRIVILEGE_ENABLED}) | enabled;
    if (p.Attributes & SE_PRIVILEGE_REMOVED) attributes = SE_PRIVILEGE_REMOVED;
    changes->push_back({held->first, attributes});
  }
  return all;
}

}  // namespace

namespace winsim::user {

bool PrivilegeEnabled(const wchar_t* name) {
  const Privilege* p = ByName(name);
  if (p == nullptr) return false;
  auto it = TheToken().held.find(p->luid);
  return it != TheToken().held.end() && (it->second & SE_PRIVILEGE_ENABLED);
}

}  // namespace winsim::user

namespace winsim::machine {

void RemovePrivilege(const std::wstring& name) {
  if (const Privilege* p = ByName(name.c_str())) TheToken().held.erase(p->luid);
}

bool PrivilegeEnabled(const std::wstring& name) { return user::PrivilegeEnabled(name.c_str()); }

void FailOpenProcessToken(DWORD error) { TheToken().openError = error; }

}  // namespace winsim::machine

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandleOut) {
  if (ProcessHandle != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
  if (TokenHandleOut == nullptr) return Fail(ERROR_NOACCESS);
  if (TheToken().openError != 0) return Fail(TheToken().openError);
  *TokenHandleOut = winsim::user::InsertObject(
      ObjectType::kToken, std::make_unique<TokenHandle>(MapGeneric(DesiredAccess)));
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (lpSystemName != nullptr && *lpSystemName != L'\0') return Fail(kRpcServerUnavailable);
  if (lpName == nullptr || lpLuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const Privilege* p = ByName(lpName);
  if (p == nullptr) return Fail(ERROR_NO_SUCH_PRIVILEGE);
  lpLuid->LowPart = p->luid;
  lpLuid->HighPart = 0;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandleIn, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  auto* handle = winsim::user::Find<TokenHandle>(TokenHandleIn, ObjectType::kToken);
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  DWORD needed = TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
  if ((handle->access & needed) != needed) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && NewState == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::pair<DWORD, DWORD>> changes;
  bool all = Plan(DisableAllPrivileges, NewState, &changes);
  Token& token = TheToken();
  if (PreviousState != nullptr) {
    if (ReturnLength == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *ReturnLength = SizeFor(changes.size());
    if (BufferLength < *ReturnLength) return Fail(ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = static_cast<DWORD>(changes.size());
    for (size_t i = 0; i < changes.size(); ++i) {
      PreviousState->Privileges[i] = {{changes[i].first, 0}, token.held[changes[i].first]};
    }
  }
  for (const auto& [luid, attributes] : changes) {
    if (attributes & SE_PRIVILEGE_REMOVED) {
      token.held.erase(luid);
    } else {
      token.held[luid] = attributes;
    }
  }
  SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
