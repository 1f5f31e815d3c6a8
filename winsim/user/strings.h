// String functions of the system's libraries that programs call.
#pragma once
#include <string>

#include "winsim/user/types.h"

// Compares without regard to case. The system compares linguistically
// (CompareStringW); here letters are folded and the rest compared by code
// unit, which gives the same equality and the same order for letters and
// digits, not for punctuation.
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
int lstrlenW(LPCWSTR lpString);

namespace winsim::user {

// Upper-cases one character as the file system and registry do for names.
wchar_t FoldCase(wchar_t c);
bool SameNoCase(const std::wstring& a, const std::wstring& b);
std::wstring Folded(std::wstring s);

}  // namespace winsim::user
