// Id patterns: how arguments are read and which ids they match.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "devcommands/matching.h"

namespace devcommands {
namespace {

struct MatchCase {
  const wchar_t* pattern;
  const wchar_t* id;
  bool matches;
};

[[maybe_unused]] void PrintTo(const MatchCase& row, std::ostream* os) {
  *os << ::testing::PrintToString(std::wstring(row.pattern)) << " against "
      << ::testing::PrintToString(std::wstring(row.id));
}

class Match : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Match, FollowsTheGlobRule) {
  IdPattern pattern = ParseIdPattern(GetParam().pattern);
  EXPECT_EQ(MatchIdPattern(GetParam().id, pattern), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    IdPattern, Match,
    ::testing::Values(
        // literal: the whole id, ASCII case folded
        MatchCase{L"USB\\ROOT_HUB", L"usb\\root_hub", true},
        MatchCase{L"USB\\ROOT_HUB", L"USB\\ROOT_HUB20", false},
        MatchCase{L"USB\\ROOT_HUB", L"USB\\ROOT_HU", false}, MatchCase{L"", L"", true},
        // the uninstaller's pattern
        MatchCase{L"USB\\Vid_2e6b&Pid_7a31&*", L"USB\\VID_2E6B&PID_7A31&REV_0100", true},
        MatchCase{L"USB\\Vid_2e6b&Pid_7a31&*", L"USB\\VID_2E6B&PID_7A31&", true},
        MatchCase{L"USB\\Vid_2e6b&Pid_7a31&*", L"USB\\VID_2E6B&PID_7A31", false},
        MatchCase{L"USB\\Vid_2e6b&Pid_7a31&*", L"USB\\VID_2E6B&PID_7A32&REV_0100", false},
        // a trailing "*" takes any continuation, including none
        MatchCase{L"ab*", L"ab", true}, MatchCase{L"ab*", L"a", false}, MatchCase{L"*", L"", true},
        MatchCase{L"**", L"x", true},
        // the last segment is anchored at the end and never overlaps the prefix
        MatchCase{L"a*a", L"a", false}, MatchCase{L"a*a", L"aa", true},
        MatchCase{L"a*a", L"aba", true}, MatchCase{L"a*a", L"ab", false},
        MatchCase{L"*abc", L"xxabcabc", true},
        // middle segments at their leftmost occurrence
        MatchCase{L"*x*y", L"zxzy", true}, MatchCase{L"*x*y", L"zxzyq", false},
        MatchCase{L"*ab*ab", L"abab", true}, MatchCase{L"*ab*ab", L"aab", false},
        MatchCase{L"a*b*b", L"ab", false}, MatchCase{L"a*aab*c", L"aaaab_c", true},
        MatchCase{L"*X*", L"abxcd", true},
        // "?" is an ordinary character
        MatchCase{L"a?c", L"abc", false}, MatchCase{L"a?c*", L"A?C", true},
        // only A to Z fold
        MatchCase{L"\u00C9*", L"\u00E9t\u00E9", false}, MatchCase{L"*\u00C9", L"\u00C9", true},
        MatchCase{L"stra\u00DFe", L"STRASSE", false}, MatchCase{L"*K", L"\u212A", false},
        MatchCase{L"[*", L"{", false},
        // an apostrophe makes the rest literal, "*" included
        MatchCase{L"'a*b", L"A*B", true}, MatchCase{L"'a*b", L"axb", false},
        MatchCase{L"'*", L"*", true}, MatchCase{L"''x", L"'x", true},
        // "@" selects instance ids; the rules are the same
        MatchCase{L"@ROOT\\*", L"root\\ports\\0000", true},
        MatchCase{L"@'ROOT\\*", L"ROOT\\*", true}, MatchCase{L"@*", L"", true}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(IdPattern, ArgumentPrefixesSetTheKindAndTheWildcard) {
  const wchar_t* arg = L"@'a*b";
  IdPattern literal = ParseIdPattern(arg);
  EXPECT_EQ(literal.text, arg + 2) << "the text points into the argument";
  EXPECT_TRUE(literal.isInstanceId);
  EXPECT_EQ(literal.firstWildcard, nullptr);

  const wchar_t* wild = L"x*y*";
  IdPattern wildcard = ParseIdPattern(wild);
  EXPECT_FALSE(wildcard.isInstanceId);
  EXPECT_EQ(wildcard.firstWildcard, wild + 1);

  IdPattern at = ParseIdPattern(L"'@x");
  EXPECT_FALSE(at.isInstanceId) << "only a leading @ makes an instance id";
  EXPECT_STREQ(at.text, L"@x");
}

// A multi-string as the platform hands it over: malloc'ed, ending in an
// empty string.
WCHAR* MultiSz(const std::wstring& withNuls) {
  auto buffer = static_cast<WCHAR*>(malloc((withNuls.size() + 2) * sizeof(WCHAR)));
  memcpy(buffer, withNuls.data(), withNuls.size() * sizeof(WCHAR));
  buffer[withNuls.size()] = buffer[withNuls.size() + 1] = L'\0';
  return buffer;
}

TEST(StringList, ListsEachStringOverTheBufferItOwns) {
  WCHAR* buffer = MultiSz(std::wstring(L"USB\\A\0USB\\B&REV_1\0", 18));
  StringList list = StringListFromMultiSz(buffer);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list[-1], buffer) << "the hidden slot holds the buffer";
  EXPECT_EQ(list[0], buffer);
  EXPECT_STREQ(list[1], L"USB\\B&REV_1");
  EXPECT_EQ(list[2], nullptr);

  EXPECT_TRUE(MatchAnyId(list, ParseIdPattern(L"usb\\b&*")));
  EXPECT_FALSE(MatchAnyId(list, ParseIdPattern(L"USB\\C")));
  FreeStringList(list);  // the sanitizers see the buffer and the array go
}

TEST(StringList, StopsAtTheFirstEmptyString) {
  StringList empty = StringListFromMultiSz(MultiSz(L""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], nullptr);
  EXPECT_FALSE(MatchAnyId(empty, ParseIdPattern(L"*")));
  FreeStringList(empty);

  StringList cut = StringListFromMultiSz(MultiSz(std::wstring(L"a\0\0b\0", 5)));
  ASSERT_NE(cut, nullptr);
  EXPECT_STREQ(cut[0], L"a");
  EXPECT_EQ(cut[1], nullptr);
  FreeStringList(cut);
}

TEST(StringList, NullListMatchesNothingAndFreesNothing) {
  EXPECT_FALSE(MatchAnyId(nullptr, ParseIdPattern(L"*")));
  FreeStringList(nullptr);
}

}  // namespace
}  // namespace devcommands
