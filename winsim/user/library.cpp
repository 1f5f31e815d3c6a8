// Run-time binding over tables of registered functions. A module handle
// stays valid while the program holds a reference; once the last one is
// dropped, the handle names nothing.
#include "winsim/user/library.h"

#include <map>
#include <set>
#include <utility>

#include "winsim/kernel/sim.h"
#include "winsim/machine/libraries.h"
#include "winsim/user/errors.h"
#include "winsim/user/paths.h"
#include "winsim/user/resources.h"
#include "winsim/user/strings.h"
#include "winsim/user/system_exports.h"

namespace {

using Exports = std::map<std::string, FARPROC>;

// System libraries every machine has, whatever is registered in them.
const wchar_t* const kSystemLibraries[] = {L"setupapi.dll", L"newdev.dll",  L"kernel32.dll",
                                           L"advapi32.dll", L"user32.dll",  L"shlwapi.dll",
                                           L"ole32.dll",    L"cfgmgr32.dll"};

// Module handles look like image bases, far apart.
constexpr ULONG_PTR kFirstBase = 0x7ff800000000;
constexpr ULONG_PTR kBaseStride = 0x100000;

struct Run {
  std::map<std::wstring, Exports> replaced;
  std::set<std::wstring> removed;
  std::set<std::pair<std::wstring, std::string>> removedExports;
  std::map<std::wstring, int> loads;
};

std::wstring Key(const std::wstring& library) { return winsim::user::Folded(library); }

std::map<std::wstring, Exports>& Registered() {
  static std::map<std::wstring, Exports> libraries = [] {
    std::map<std::wstring, Exports> m;
    for (const wchar_t* name : kSystemLibraries) m[Key(name)];
    for (const winsim::user::SystemExport& e : winsim::user::SystemExports()) {
      m[Key(e.library)][e.name] = e.function;
    }
    return m;
  }();
  return libraries;
}

LONG References();

Run& State() {
  static Run run;
  static const bool registered = [] {
    winsim::kernel::RegisterRunState(
        "library reference(s)", [] { run = Run{}; }, References);
    return true;
  }();
  (void)registered;
  return run;
}

LONG References() {
  LONG n = 0;
  for (const auto& [name, count] : State().loads) n += count;
  return n;
}

bool Exists(const std::wstring& key) {
  return Registered().count(key) != 0 && State().removed.count(key) == 0;
}

HMODULE HandleOf(const std::wstring& key) {
  auto index = static_cast<ULONG_PTR>(std::distance(Registered().begin(), Registered().find(key)));
  return reinterpret_cast<HMODULE>(kFirstBase + index * kBaseStride);
}

// The library a handle names while it is loaded, else empty.
std::wstring LoadedLibrary(HMODULE module) {
  for (const auto& [key, count] : State().loads) {
    if (count > 0 && HandleOf(key) == module) return key;
  }
  return {};
}

// "name", "name.dll" or the system directory's path to it, as a table key.
std::wstring LibraryKey(const std::wstring& spec) {
  std::wstring name = spec;
  size_t slash = spec.find_last_of(L"\\/");
  if (slash != std::wstring::npos) {
    std::wstring dir = winsim::user::FullPath(spec.substr(0, slash));
    if (!winsim::user::SameNoCase(dir, L"C:\\Windows\\System32")) return {};
    name = spec.substr(slash + 1);
  }
  if (name.find(L'.') == std::wstring::npos) name += L".dll";
  if (!name.empty() && name.back() == L'.') name.pop_back();
  return Key(name);
}

}  // namespace

namespace winsim::machine {

void RegisterExport(const std::wstring& library, const std::string& name, FARPROC function) {
  Registered()[Key(library)][name] = function;
}

void ReplaceExport(const std::wstring& library, const std::string& name, FARPROC function) {
  Registered()[Key(library)];  // the library exists from now on, empty outside this run
  State().replaced[Key(library)][name] = function;
}

void RemoveLibrary(const std::wstring& library) { State().removed.insert(Key(library)); }

void RemoveExport(const std::wstring& library, const std::string& name) {
  State().removedExports.insert({Key(library), name});
}

int LoadCount(const std::wstring& library) {
  auto it = State().loads.find(Key(library));
  return it == State().loads.end() ? 0 : it->second;
}

}  // namespace winsim::machine

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  std::wstring key = lpLibFileName != nullptr ? LibraryKey(lpLibFileName) : L"";
  if (key.empty() || !Exists(key)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ++State().loads[key];
  return HandleOf(key);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName == nullptr) return winsim::user::ProgramInstance();
  std::wstring key = LibraryKey(lpModuleName);
  if (key.empty() || State().loads[key] == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return HandleOf(key);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::wstring key = LoadedLibrary(hModule);
  if (key.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // A "name" below 0x10000 is an ordinal.
  bool ordinal = reinterpret_cast<ULONG_PTR>(lpProcName) < 0x10000;
  std::string name = ordinal ? std::string() : std::string(lpProcName);
  Run& run = State();
  FARPROC found = nullptr;
  if (!ordinal && run.removedExports.count({key, name}) == 0) {
    auto replaced = run.replaced[key].find(name);
    auto registered = Registered()[key].find(name);
    if (replaced != run.replaced[key].end()) {
      found = replaced->second;
    } else if (registered != Registered()[key].end()) {
      found = registered->second;
    }
  }
  if (found == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return found;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  std::wstring key = LoadedLibrary(hLibModule);
  if (key.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  --State().loads[key];
  return TRUE;
}
