// The driver store's place on the machine and the signature records tests
// leave for it (winsim/machine/driver_store.h).
#include <map>

#include "winsim/machine/driver_store.h"
#include "winsim/machine/files.h"
#include "winsim/user/driver_store_internal.h"
#include "winsim/user/paths.h"
#include "winsim/user/run_state.h"
#include "winsim/user/strings.h"

namespace winsim::user::store {
namespace {

// By folded full path, so any spelling of the INF's path finds its record.
using Signatures = std::map<std::wstring, Signature>;

Signatures& Records() { return PerRun<Signatures>("INF signatures"); }

// Where the system keeps the catalogs that sign third-party drivers.
constexpr wchar_t kCatalogRoot[] = L"\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\";

// The catalog installed with an INF takes the INF's name: oem3.inf ->
// ...\oem3.cat.
std::wstring CatalogFor(const std::wstring& infPath) {
  WCHAR system[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  std::wstring name = infPath.substr(infPath.find_last_of(L'\\') + 1);
  return std::wstring(system, n < MAX_PATH ? n : 0) + kCatalogRoot +
         name.substr(0, name.find_last_of(L'.')) + L".cat";
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && SameNoCase(text.substr(text.size() - end.size()), end);
}

}  // namespace

std::wstring InfDirectory() {
  WCHAR windows[MAX_PATH];
  UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows, n < MAX_PATH ? n : 0) + L"\\INF";
}

std::wstring InStore(const std::wstring& name) { return InfDirectory() + L"\\" + name; }

bool IsOemInfName(const std::wstring& name) {
  return name.size() >= 7 && SameNoCase(name.substr(0, 3), L"oem") &&
         EndsWithNoCase(name, L".inf") && name.find_first_of(L"\\/:") == std::wstring::npos;
}

std::vector<std::wstring> OemInfNames() {
  std::vector<std::wstring> names;
  for (const std::wstring& name : machine::ListDirectory(InfDirectory())) {
    if (IsOemInfName(name)) names.push_back(name);
  }
  return names;
}

std::wstring PnfName(const std::wstring& infName) {
  return infName.substr(0, infName.size() - 4) + L".PNF";
}

const Signature* SignatureOf(const std::wstring& fullPath) {
  auto it = Records().find(Folded(fullPath));
  return it == Records().end() ? nullptr : &it->second;
}

void ForgetSignature(const std::wstring& fullPath) { Records().erase(Folded(fullPath)); }

}  // namespace winsim::user::store

namespace winsim::machine {

void SignInf(const std::wstring& inf, const std::wstring& signer, DWORD verifyError) {
  namespace store = winsim::user::store;
  bool bare = inf.find_first_of(L"\\/:") == std::wstring::npos;
  std::wstring path = bare ? store::InStore(inf) : winsim::user::FullPath(inf);
  store::Records()[winsim::user::Folded(path)] = {signer, store::CatalogFor(path), verifyError};
}

std::vector<std::wstring> OemInfs() { return winsim::user::store::OemInfNames(); }

}  // namespace winsim::machine
