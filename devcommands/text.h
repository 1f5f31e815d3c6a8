// Case-insensitive comparison as the engine does it everywhere: only the
// ASCII letters A to Z are folded, whatever the locale.
#pragma once
#include "platform/win32.h"

namespace devcommands {

inline WCHAR FoldAscii(WCHAR c) {
  return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c;
}

inline bool EqualsIgnoreAsciiCase(const WCHAR* a, const WCHAR* b) {
  for (; FoldAscii(*a) == FoldAscii(*b); ++a, ++b) {
    if (*a == L'\0') return true;
  }
  return false;
}

}  // namespace devcommands
