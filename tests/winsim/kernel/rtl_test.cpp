#include "winsim/kernel/wdk/rtl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr ULONG W = sizeof(WCHAR);
constexpr UCHAR kFill = 0xAB;

// A destination string over a buffer larger than its MaximumLength, with a
// snapshot of the bytes before the call: a write past the result (or past
// MaximumLength) shows up as a changed byte.
struct Dest {
  alignas(WCHAR) UCHAR bytes[64 * sizeof(WCHAR)];
  UCHAR before[sizeof(bytes)];
  UNICODE_STRING s;

  Dest(const std::wstring &text, ULONG maxBytes) {
    memset(bytes, kFill, sizeof(bytes));
    memcpy(bytes, text.data(), text.size() * W);
    memcpy(before, bytes, sizeof(bytes));
    s.Buffer = reinterpret_cast<PWSTR>(bytes);
    s.Length = USHORT(text.size() * W);
    s.MaximumLength = USHORT(maxBytes);
  }
  std::wstring Text() const { return std::wstring(s.Buffer, s.Length / W); }
  bool UnchangedFrom(ULONG offset) const {
    return memcmp(bytes + offset, before + offset, sizeof(bytes) - offset) == 0;
  }
  bool TerminatedAt(ULONG offset) const {
    for (ULONG i = offset; i < offset + W; ++i) {
      if (bytes[i] != 0) return false;
    }
    return true;
  }
  // Terminator (when expected) right after the text, and nothing else written.
  bool EndsCleanly(bool terminated) const {
    if (!terminated) return UnchangedFrom(s.Length);
    return TerminatedAt(s.Length) && UnchangedFrom(s.Length + W);
  }
};

UNICODE_STRING View(const std::wstring &text) {
  UNICODE_STRING s;
  s.Buffer = const_cast<PWSTR>(text.data());
  s.Length = s.MaximumLength = USHORT(text.size() * W);
  return s;
}

TEST(RtlMemory, CompareMemoryCountsEqualLeadingBytes) {
  const UCHAR a[] = {1, 2, 3, 4, 5, 6};
  struct Case {
    std::vector<UCHAR> b;
    SIZE_T length;
    SIZE_T expected;
  } cases[] = {
      {{1, 2, 3, 4, 5, 6}, 6, 6},
      {{9, 2, 3, 4, 5, 6}, 6, 0},
      {{1, 2, 3, 9, 5, 6}, 6, 3},
      {{1, 2, 3, 4, 5, 9}, 6, 5},
      {{1, 2, 3, 4, 5, 9}, 5, 5},  // the difference lies beyond Length
      {{9, 9, 9, 9, 9, 9}, 0, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(RtlCompareMemory(a, c.b.data(), c.length), c.expected) << "length " << c.length;
  }
}

TEST(RtlMemory, MoveHandlesOverlapInBothDirections) {
  UCHAR up[] = {0, 1, 2, 3, 4, 5, 6, 7};
  RtlMoveMemory(up + 2, up, 5);
  const UCHAR upExpected[] = {0, 1, 0, 1, 2, 3, 4, 7};
  EXPECT_TRUE(RtlEqualMemory(up, upExpected, sizeof(up)));

  UCHAR down[] = {0, 1, 2, 3, 4, 5, 6, 7};
  RtlMoveMemory(down, down + 3, 5);
  const UCHAR downExpected[] = {3, 4, 5, 6, 7, 5, 6, 7};
  EXPECT_TRUE(RtlEqualMemory(down, downExpected, sizeof(down)));
}

TEST(RtlMemory, FillZeroCopyAndEqualTouchOnlyTheGivenRange) {
  UCHAR buf[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  RtlFillMemory(buf + 1, 3, 0x5A);  // Length before Fill
  const UCHAR filled[] = {9, 0x5A, 0x5A, 0x5A, 9, 9, 9, 9};
  EXPECT_TRUE(RtlEqualMemory(buf, filled, sizeof(buf)));

  RtlZeroMemory(buf + 2, 4);
  const UCHAR zeroed[] = {9, 0x5A, 0, 0, 0, 0, 9, 9};
  EXPECT_TRUE(RtlEqualMemory(buf, zeroed, sizeof(buf)));

  const UCHAR src[] = {1, 2};
  RtlCopyMemory(buf + 6, src, 2);
  EXPECT_EQ(buf[5], 0);
  EXPECT_EQ(buf[6], 1);
  EXPECT_EQ(buf[7], 2);

  EXPECT_FALSE(RtlEqualMemory(filled, zeroed, sizeof(filled)));
  EXPECT_TRUE(RtlEqualMemory(filled, zeroed, 2));
}

TEST(RtlInitString, UnicodeLengthsAreBytesWithoutAndWithTerminator) {
  const WCHAR *texts[] = {L"", L"C", L"COM3", L"\\Device\\Serial0"};
  for (const WCHAR *text : texts) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    const ULONG n = ULONG(wcslen(text));
    EXPECT_EQ(s.Length, n * W) << text;
    EXPECT_EQ(s.MaximumLength, (n + 1) * W) << text;
    EXPECT_EQ(s.Buffer, text);
  }

  WCHAR old[] = L"old";
  UNICODE_STRING s = {3 * W, 4 * W, old};
  RtlInitUnicodeString(&s, NULL);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST(RtlInitString, UnicodeTooLongForACountedStringIsCappedToWholeCharacters) {
  std::vector<WCHAR> text(0x10000, L'a');
  text.back() = L'\0';
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text.data());
  EXPECT_EQ(s.Length % W, 0u);
  EXPECT_EQ(s.MaximumLength, s.Length + W);
  // The largest whole-character length whose terminator still fits in 16 bits.
  EXPECT_GT(ULONG(s.MaximumLength) + W, 0xFFFFu);
}

TEST(RtlInitString, AnsiLengthsAndCap) {
  STRING s;
  RtlInitAnsiString(&s, "COM3");
  EXPECT_EQ(s.Length, 4);
  EXPECT_EQ(s.MaximumLength, 5);
  EXPECT_STREQ(s.Buffer, "COM3");

  RtlInitAnsiString(&s, "");
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 1);

  RtlInitAnsiString(&s, NULL);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);

  std::string big(0x10000, 'a');
  RtlInitAnsiString(&s, big.c_str());
  EXPECT_EQ(s.Length, 0xFFFE);
  EXPECT_EQ(s.MaximumLength, 0xFFFF);
}

TEST(RtlCopyUnicodeString, TruncatesToDestinationAndTerminatesOnlyWhenRoom) {
  struct Case {
    const char *name;
    std::wstring source;
    ULONG maxBytes;
    std::wstring expected;
    bool terminated;
  } cases[] = {
      {"room", L"abc", 8 * W, L"abc", true},
      {"room for exactly the terminator", L"abc", 4 * W, L"abc", true},
      {"exact fit", L"abc", 3 * W, L"abc", false},
      {"one short", L"abc", 2 * W, L"ab", false},
      {"odd maximum above the text", L"abc", 3 * W + 1, L"abc", false},
      {"odd maximum inside the text", L"abcd", 2 * W + 1, L"ab", false},
      {"empty source", L"", 4 * W, L"", true},
      {"empty destination", L"abc", 0, L"", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Dest d(L"zzzzzz", c.maxBytes);
    UNICODE_STRING src = View(c.source);
    RtlCopyUnicodeString(&d.s, &src);
    EXPECT_EQ(d.Text(), c.expected);
    EXPECT_EQ(d.s.Length, c.expected.size() * W);
    EXPECT_EQ(d.s.MaximumLength, c.maxBytes);
    EXPECT_TRUE(d.EndsCleanly(c.terminated));
  }
}

TEST(RtlCopyUnicodeString, NullSourceEmptiesDestination) {
  Dest d(L"abc", 8 * W);
  RtlCopyUnicodeString(&d.s, NULL);
  EXPECT_EQ(d.s.Length, 0);
  EXPECT_EQ(d.s.MaximumLength, 8 * W);
}

TEST(RtlCopyUnicodeString, CopiesByLengthNotByTerminator) {
  const std::wstring withNul(L"a\0b", 3);
  UNICODE_STRING src = View(withNul);
  Dest d(L"", 8 * W);
  RtlCopyUnicodeString(&d.s, &src);
  EXPECT_EQ(d.Text(), withNul);

  const std::wstring longer = L"abcdef";
  src = View(longer);
  src.Length = 2 * W;
  Dest e(L"", 8 * W);
  RtlCopyUnicodeString(&e.s, &src);
  EXPECT_EQ(e.Text(), L"ab");
}

// Both append routines share these rules; they differ only in how the source
// is given.
using AppendFn = NTSTATUS (*)(PUNICODE_STRING, const std::wstring &);
NTSTATUS AppendCounted(PUNICODE_STRING d, const std::wstring &text) {
  UNICODE_STRING src = View(text);
  return RtlAppendUnicodeStringToString(d, &src);
}
NTSTATUS AppendTerminated(PUNICODE_STRING d, const std::wstring &text) {
  return RtlAppendUnicodeToString(d, text.c_str());
}

TEST(RtlAppendUnicode, FitsOrLeavesDestinationUntouched) {
  struct Case {
    const char *name;
    std::wstring initial;
    ULONG maxBytes;
    std::wstring appended;
    NTSTATUS status;
    std::wstring expected;
    bool terminated;
  } cases[] = {
      {"room", L"COM", 8 * W, L"3", STATUS_SUCCESS, L"COM3", true},
      {"room for exactly the terminator", L"COM", 5 * W, L"3", STATUS_SUCCESS, L"COM3", true},
      {"exact fit", L"COM", 4 * W, L"3", STATUS_SUCCESS, L"COM3", false},
      {"one short", L"COM", 4 * W, L"10", STATUS_BUFFER_TOO_SMALL, L"COM", false},
      {"odd maximum that fits", L"COM", 4 * W + 1, L"3", STATUS_SUCCESS, L"COM3", false},
      {"odd maximum one byte short", L"COM", 4 * W - 1, L"3", STATUS_BUFFER_TOO_SMALL, L"COM",
       false},
      {"empty source", L"COM", 8 * W, L"", STATUS_SUCCESS, L"COM", true},
      {"empty destination", L"", 4 * W, L"COM3", STATUS_SUCCESS, L"COM3", false},
      {"no buffer at all", L"", 0, L"x", STATUS_BUFFER_TOO_SMALL, L"", false},
  };
  const std::pair<const char *, AppendFn> fns[] = {
      {"RtlAppendUnicodeStringToString", AppendCounted},
      {"RtlAppendUnicodeToString", AppendTerminated},
  };
  for (const auto &[fnName, fn] : fns) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(fnName) + ": " + c.name);
      Dest d(c.initial, c.maxBytes);
      EXPECT_EQ(fn(&d.s, c.appended), c.status);
      EXPECT_EQ(d.Text(), c.expected);
      EXPECT_EQ(d.s.Length, c.expected.size() * W);
      EXPECT_EQ(d.s.MaximumLength, c.maxBytes);
      EXPECT_TRUE(d.EndsCleanly(c.terminated));
    }
  }
}

TEST(RtlAppendUnicode, NullTerminatedSourceMayBeNull) {
  Dest d(L"COM", 8 * W);
  EXPECT_EQ(RtlAppendUnicodeToString(&d.s, NULL), STATUS_SUCCESS);
  EXPECT_EQ(d.Text(), L"COM");
}

TEST(RtlAppendUnicode, CountedSourceIsReadByLength) {
  const std::wstring source = L"123456";
  UNICODE_STRING src = View(source);
  src.Length = 2 * W;
  Dest d(L"COM", 8 * W);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&d.s, &src), STATUS_SUCCESS);
  EXPECT_EQ(d.Text(), L"COM12");
}

TEST(RtlAppendUnicode, StringAppendedToItself) {
  Dest d(L"ab", 8 * W);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&d.s, &d.s), STATUS_SUCCESS);
  EXPECT_EQ(d.Text(), L"abab");
}

TEST(RtlUpcaseUnicodeChar, MapsSmallLettersOnly) {
  const std::pair<ULONG, ULONG> cases[] = {
      {'a', 'A'},     {'z', 'Z'},     {'A', 'A'},     {'0', '0'},     {'`', '`'},
      {'{', '{'},     {'@', '@'},     {'[', '['},     {0xE0, 0xC0},   {0xE9, 0xC9},
      {0xFE, 0xDE},   {0xF7, 0xF7},   {0xFF, 0x178},  {0xDF, 0xDF},   {0xB5, 0xB5},
      {0xC9, 0xC9},   {0x101, 0x100}, {0x100, 0x100}, {0x13A, 0x139}, {0x139, 0x139},
      {0x17E, 0x17D}, {0x3B1, 0x391}, {0x430, 0x410}, {0x451, 0x401}, {0x3042, 0x3042},
  };
  for (const auto &[in, out] : cases) {
    EXPECT_EQ(ULONG(RtlUpcaseUnicodeChar(WCHAR(in))), out) << std::hex << "U+" << in;
  }
}

int Sign(LONG v) { return (v > 0) - (v < 0); }

TEST(RtlCompareUnicodeString, OrdersByCharactersThenLength) {
  struct Case {
    std::wstring a, b;
    BOOLEAN caseInSensitive;
    int sign;
  } cases[] = {
      {L"COM3", L"COM3", FALSE, 0},
      {L"com3", L"COM3", TRUE, 0},
      {L"com3", L"COM3", FALSE, 1},
      {L"COM", L"COM3", FALSE, -1},
      {L"COM", L"com3", TRUE, -1},
      {L"COM10", L"COM9", FALSE, -1},
      {L"", L"", FALSE, 0},
      {L"", L"A", TRUE, -1},
      {L"\u00e9t\u00e9", L"\u00c9T\u00c9", TRUE, 0},
      {L"\u00e4", L"\u00c4", FALSE, 1},
      // Insensitive comparison upcases: 'a' becomes 'A' (0x41), below '_' (0x5F).
      {L"_", L"a", TRUE, 1},
      {L"_", L"a", FALSE, -1},
      {std::wstring(L"a\0b", 3), std::wstring(L"a\0c", 3), FALSE, -1},
  };
  for (const Case &c : cases) {
    UNICODE_STRING a = View(c.a), b = View(c.b);
    SCOPED_TRACE(testing::Message() << "case-insensitive " << int(c.caseInSensitive));
    EXPECT_EQ(Sign(RtlCompareUnicodeString(&a, &b, c.caseInSensitive)), c.sign);
    EXPECT_EQ(Sign(RtlCompareUnicodeString(&b, &a, c.caseInSensitive)), -c.sign);
    EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInSensitive), c.sign == 0 ? TRUE : FALSE);
  }
}

TEST(RtlCompareUnicodeString, ReadsOnlyUpToLength) {
  const std::wstring full = L"COM3", prefix = L"COM";
  UNICODE_STRING a = View(full), b = View(prefix);
  a.Length = 3 * W;
  EXPECT_EQ(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
}

TEST(RtlIntegerToUnicodeString, ConvertsInEachBase) {
  struct Case {
    ULONG value, base;
    std::wstring expected;
  } cases[] = {
      {0, 10, L"0"},
      {123, 0, L"123"},
      {4294967295u, 10, L"4294967295"},
      {0xFFFFFFFFu, 16, L"FFFFFFFF"},
      {0x1B0004, 16, L"1B0004"},
      {255, 16, L"FF"},
      {8, 8, L"10"},
      {0x80000000u, 2, L"10000000000000000000000000000000"},
      {5, 2, L"101"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " base " << c.base);
    Dest d(L"", 40 * W);
    EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &d.s), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), c.expected);
    EXPECT_TRUE(d.EndsCleanly(true));
  }
}

TEST(RtlIntegerToUnicodeString, RejectsBadBaseAndShortBuffers) {
  struct Case {
    const char *name;
    ULONG base;
    ULONG maxBytes;
    NTSTATUS status;
  } cases[] = {
      {"digits and terminator fit", 10, 4 * W, STATUS_SUCCESS},
      {"odd maximum with room", 10, 4 * W + 1, STATUS_SUCCESS},
      {"no room for the terminator", 10, 3 * W, STATUS_BUFFER_OVERFLOW},
      {"odd maximum one byte short", 10, 4 * W - 1, STATUS_BUFFER_OVERFLOW},
      {"no room at all", 10, 0, STATUS_BUFFER_OVERFLOW},
      {"base 1", 1, 20 * W, STATUS_INVALID_PARAMETER},
      {"base 3", 3, 20 * W, STATUS_INVALID_PARAMETER},
      {"base 36", 36, 20 * W, STATUS_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Dest d(L"", c.maxBytes);
    EXPECT_EQ(RtlIntegerToUnicodeString(123, c.base, &d.s), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(d.Text(), L"123");
      EXPECT_TRUE(d.EndsCleanly(true));
    } else {
      EXPECT_EQ(d.s.Length, 0);
      EXPECT_TRUE(d.UnchangedFrom(0));
    }
  }
}

TEST(RtlUnicodeStringToInteger, ParsesSignPrefixAndStopsAtFirstNonDigit) {
  struct Case {
    std::wstring text;
    ULONG base;
    ULONG expected;
  } cases[] = {
      {L"123", 10, 123},
      {L"-345", 10, ULONG(-345)},
      {L"xyz", 10, 0},
      {L"+678abc", 10, 678},
      {L"+678abc", 16, 0x678ABC},
      {L"0x12345", 0, 0x12345},
      {L"-0x10", 0, ULONG(-16)},
      {L"0o777", 0, 0777},
      {L"0b1011", 0, 11},
      {L"0x", 0, 0},
      {L"077", 0, 77},  // a bare leading zero is not an octal prefix
      {L"  42", 0, 42},
      {L"\t\r\n 7", 10, 7},
      {L"   ", 10, 0},
      {L"-", 10, 0},
      {L"+-5", 10, 0},
      {L"- 5", 10, 0},
      {L"1012", 2, 5},
      {L"789", 8, 7},
      {L"fF", 16, 255},
      {L"0x1F", 16, 0},  // with an explicit base there is no prefix
      {L"4294967295", 10, 0xFFFFFFFFu},
  };
  for (const Case &c : cases) {
    UNICODE_STRING s = View(c.text);
    ULONG value = 0xDEADBEEF;
    SCOPED_TRACE(testing::Message() << '"' << c.text.c_str() << "\" base " << c.base);
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, c.expected);
  }
}

TEST(RtlUnicodeStringToInteger, RejectsEmptyStringAndBadBase) {
  const std::wstring text = L"12";
  UNICODE_STRING s = View(text);
  ULONG value = 0;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 3, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 36, &value), STATUS_INVALID_PARAMETER);
  s.Length = 0;
  EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &value), STATUS_INVALID_PARAMETER);
}

TEST(RtlUnicodeStringToInteger, ReadsOnlyWholeCharactersWithinLength) {
  const std::wstring text = L"12345";
  const ULONG lengths[] = {3 * W, 3 * W + 1, 4 * W - 1};
  for (ULONG length : lengths) {
    UNICODE_STRING s = View(text);
    s.Length = USHORT(length);
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 123u) << "Length " << length;
  }
}

// Sources sit in heap blocks of exactly Length bytes, so a read past Length is
// a heap overflow under the sanitizer build.
struct ExactSource {
  std::vector<WCHAR> chars;
  UNICODE_STRING s;
  explicit ExactSource(const std::wstring &text) : chars(text.begin(), text.end()) {
    s.Buffer = chars.data();
    s.Length = s.MaximumLength = USHORT(chars.size() * W);
  }
};

TEST(RtlUnicodeStringBounds, SourcesAreReadOnlyWithinLength) {
  ExactSource zero(L"0"), com(L"COM"), com3(L"COM3");
  ULONG value = 1;
  EXPECT_EQ(RtlUnicodeStringToInteger(&zero.s, 0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);
  for (const WCHAR *text : {L"-", L"  "}) {
    ExactSource partial(text);
    value = 1;
    EXPECT_EQ(RtlUnicodeStringToInteger(&partial.s, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u) << text;
  }

  EXPECT_LT(RtlCompareUnicodeString(&com.s, &com3.s, TRUE), 0);
  EXPECT_FALSE(RtlEqualUnicodeString(&com.s, &com3.s, TRUE));

  Dest d(L"", 8 * W);
  RtlCopyUnicodeString(&d.s, &com3.s);
  EXPECT_EQ(d.Text(), L"COM3");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&d.s, &com.s), STATUS_SUCCESS);
  EXPECT_EQ(d.Text(), L"COM3COM");
}

}  // namespace
