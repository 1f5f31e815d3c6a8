#include "winsim/kernel/guid_text.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace winsim {

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

std::wstring GuidText(const GUID& g) {
  wchar_t text[39];
  std::swprintf(text, 39, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(const std::wstring& text, GUID* guid) {
  // Braces, 8-4-4-4-12 hex digits; nothing else is a GUID key name.
  static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (text.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool ok = kShape[i] == 'x' ? std::iswxdigit(text[i]) != 0 : text[i] == wchar_t(kShape[i]);
    if (!ok) return false;
  }
  auto hex = [&](size_t at, size_t n) { return std::stoul(text.substr(at, n), nullptr, 16); };
  guid->Data1 = static_cast<ULONG>(hex(1, 8));
  guid->Data2 = static_cast<USHORT>(hex(10, 4));
  guid->Data3 = static_cast<USHORT>(hex(15, 4));
  const size_t bytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<UCHAR>(hex(bytes[i], 2));
  return true;
}

}  // namespace winsim
