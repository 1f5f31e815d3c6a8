#include "winsim/user/strings.h"

#include <cwctype>

namespace winsim::user {

wchar_t FoldCase(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

bool SameNoCase(const std::wstring& a, const std::wstring& b) { return Folded(a) == Folded(b); }

std::wstring Folded(std::wstring s) {
  for (wchar_t& c : s) c = FoldCase(c);
  return s;
}

}  // namespace winsim::user

namespace {

int CompareFolded(LPCWSTR a, LPCWSTR b) {
  // A null string sorts before any other, as the system's do.
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  for (;; ++a, ++b) {
    wchar_t x = winsim::user::FoldCase(*a), y = winsim::user::FoldCase(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == L'\0') return 0;
  }
}

}  // namespace

int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return CompareFolded(lpString1, lpString2); }

int lstrlenW(LPCWSTR lpString) {
  if (lpString == nullptr) return 0;
  int n = 0;
  while (lpString[n] != L'\0') ++n;
  return n;
}
