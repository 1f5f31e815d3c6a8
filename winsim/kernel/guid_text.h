// GUIDs as the registry and the object namespace spell them:
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper-case hex digits.
#pragma once
#include <string>

#include "winsim/kernel/wdk/ntdef.h"

namespace winsim {

std::wstring GuidText(const GUID& guid);
// Braces and 8-4-4-4-12 hex digits of either case; nothing else.
bool ParseGuid(const std::wstring& text, GUID* guid);
bool SameGuid(const GUID& a, const GUID& b);

}  // namespace winsim
