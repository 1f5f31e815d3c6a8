// Name comparisons as the object manager, the registry, the file system and
// SetupAPI make them: letters folded to upper case, everything else compared
// by code unit. One definition for every layer of the stand-in.
#pragma once
#include <algorithm>
#include <cwctype>
#include <string>
#include <string_view>

namespace winsim::text {

inline wchar_t FoldCase(wchar_t c) {
  return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

inline std::wstring Folded(std::wstring_view s) {
  std::wstring folded(s);
  for (wchar_t& c : folded) c = FoldCase(c);
  return folded;
}

inline bool SameNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](wchar_t x, wchar_t y) { return FoldCase(x) == FoldCase(y); });
}

inline bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && SameNoCase(s.substr(0, prefix.size()), prefix);
}

// The order Windows keeps names in: by their upper-cased form.
struct NoCaseLess {
  bool operator()(std::wstring_view a, std::wstring_view b) const {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](wchar_t x, wchar_t y) { return FoldCase(x) < FoldCase(y); });
  }
};

// A name for a report: printable ASCII kept, anything else as '?'.
inline std::string Printable(std::wstring_view w) {
  std::string s;
  for (wchar_t c : w) s += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
  return s;
}

}  // namespace winsim::text
