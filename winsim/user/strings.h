// String functions of the system's libraries that programs call.
#pragma once
#include <string>

#include "winsim/host/text.h"
#include "winsim/user/types.h"

// Compares without regard to case. The system compares linguistically
// (CompareStringW); here letters are folded and the rest compared by code
// unit, which gives the same equality and the same order for letters and
// digits, not for punctuation.
int lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
int lstrlenW(LPCWSTR lpString);

namespace winsim::user {

// Names compared as the file system and registry compare them.
using winsim::text::FoldCase;
using winsim::text::Folded;
using winsim::text::SameNoCase;

}  // namespace winsim::user
