// MatchIdPattern against a reference written from the matching rule alone: a
// "*"-only glob, case-insensitive over A to Z only, where "@" in front selects
// instance ids and a following apostrophe makes the rest literal. The
// reference decides by dynamic programming over all ways "*" can stretch, so
// it shares nothing with the engine's leftmost-segment search. Input: pattern,
// line feed, candidate id; bytes from 0x80 up stand for non-ASCII letters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "devcommands/matching.h"

namespace {

const wchar_t kTricky[] = {L'\u212A', L'\u017F', L'\u0130', L'\u00E9', L'\u00C9', L'k', L'K', L'*'};

std::wstring Widen(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] >= 0x80) {
      text += kTricky[data[i] % (sizeof(kTricky) / sizeof(kTricky[0]))];
    } else if (data[i] != 0) {
      text += static_cast<wchar_t>(data[i]);
    }
  }
  return text;
}

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; }

bool Glob(const std::wstring& p, const std::wstring& s) {
  // can[j]: the pattern so far matches the first j characters of s.
  std::vector<char> can(s.size() + 1, 0);
  can[0] = 1;
  for (wchar_t pc : p) {
    std::vector<char> next(s.size() + 1, 0);
    for (size_t j = 0; j <= s.size(); ++j) {
      if (pc == L'*') {
        next[j] = can[j] || (j > 0 && next[j - 1]);
      } else {
        next[j] = j > 0 && can[j - 1] && Lower(s[j - 1]) == Lower(pc);
      }
    }
    can.swap(next);
  }
  return can[s.size()];
}

bool Reference(std::wstring pattern, const std::wstring& id) {
  if (!pattern.empty() && pattern[0] == L'@') pattern.erase(0, 1);
  if (!pattern.empty() && pattern[0] == L'\'') {
    pattern.erase(0, 1);
    if (pattern.size() != id.size()) return false;
    for (size_t i = 0; i < id.size(); ++i) {
      if (Lower(pattern[i]) != Lower(id[i])) return false;
    }
    return true;
  }
  return Glob(pattern, id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Ids are at most 200 characters; longer inputs only slow the reference.
  if (size > 512) return 0;
  size_t split = 0;
  while (split < size && data[split] != '\n') ++split;
  std::wstring pattern = Widen(data, split);
  std::wstring id = split < size ? Widen(data + split + 1, size - split - 1) : L"";

  devcommands::IdPattern parsed = devcommands::ParseIdPattern(pattern.c_str());
  if (parsed.isInstanceId != (!pattern.empty() && pattern[0] == L'@')) abort();
  if (devcommands::MatchIdPattern(id.c_str(), parsed) != Reference(pattern, id)) abort();
  return 0;
}
