#include "winsim/user/strings.h"

#include <cwctype>

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
