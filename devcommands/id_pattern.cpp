// Id patterns: how an argument becomes a pattern, and how a pattern matches an
// id.
#include <cwchar>

#include "devcommands/matching.h"
#include "devcommands/text.h"

namespace devcommands {
namespace {

// The first `n` characters of `a` and `b` are equal; stops at the first
// difference, so a shorter `a` simply differs.
bool EqualsPrefix(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Leftmost occurrence of the `n`-character `segment` in `s`, or null.
const WCHAR* FindSegment(const WCHAR* s, const WCHAR* segment, size_t n) {
  WCHAR first = FoldAscii(segment[0]);
  for (; *s != L'\0'; ++s) {
    if (FoldAscii(*s) == first && EqualsPrefix(s, segment, n)) return s;
  }
  return nullptr;
}

// `s` ends with the `n`-character `segment`.
bool EndsWith(const WCHAR* s, const WCHAR* segment, size_t n) {
  size_t length = wcslen(s);
  return length >= n && EqualsPrefix(s + length - n, segment, n);
}

}  // namespace

IdPattern ParseIdPattern(const WCHAR* arg) {
  IdPattern pattern = {arg, nullptr, false};
  if (*pattern.text == L'@') {
    pattern.isInstanceId = true;
    ++pattern.text;
  }
  if (*pattern.text == L'\'') {
    ++pattern.text;
    return pattern;
  }
  pattern.firstWildcard = wcschr(pattern.text, L'*');
  return pattern;
}

bool MatchIdPattern(const WCHAR* candidate, const IdPattern& pattern) {
  if (pattern.firstWildcard == nullptr) return EqualsIgnoreAsciiCase(candidate, pattern.text);

  size_t prefix = static_cast<size_t>(pattern.firstWildcard - pattern.text);
  if (!EqualsPrefix(candidate, pattern.text, prefix)) return false;
  const WCHAR* s = candidate + prefix;
  const WCHAR* p = pattern.firstWildcard;
  while (*p != L'\0') {
    if (*p == L'*') {
      ++p;
      continue;
    }
    const WCHAR* star = wcschr(p, L'*');
    if (star == nullptr) return EndsWith(s, p, wcslen(p));
    size_t n = static_cast<size_t>(star - p);
    s = FindSegment(s, p, n);
    if (s == nullptr) return false;
    s += n;
    p = star;
  }
  return true;
}

bool MatchAnyId(StringList list, const IdPattern& pattern) {
  if (list == nullptr) return false;
  for (; *list != nullptr; ++list) {
    if (MatchIdPattern(*list, pattern)) return true;
  }
  return false;
}

}  // namespace devcommands
