// The program's resources from the fixture (data/fixture.rc, data/fixture.mc)
// as resgen compiled them: strings and messages in the language the platform
// picks for the user's interface language, the buffer forms of LoadStringW
// and FormatMessageW, and message inserts.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "fixture.h"  // the message symbols, as the message compiler writes them
#include "data/fixture_resource.h"
#include "platform/win32.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);

template <typename Body>
void OnMachine(LANGID language, Body body) {
  wk::Run(0, [&] {
    winsim::user::SetUserUILanguage(language);
    body();
    wk::CheckCleanMachine();
  });
}

std::wstring Load(UINT id, DWORD* error = nullptr) {
  WCHAR buffer[256];
  SetLastError(kSentinel);
  int n = LoadStringW(nullptr, id, buffer, 256);
  if (error) *error = GetLastError();
  EXPECT_EQ(static_cast<size_t>(n), wcslen(buffer));
  return buffer;
}

// As the device command engine calls it: the program's table, an allocated
// buffer, language 0, inserts from a va_list.
std::wstring Message(DWORD id, ...) {
  va_list inserts;
  va_start(inserts, id);
  LPWSTR text = nullptr;
  SetLastError(kSentinel);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                           id, 0, reinterpret_cast<LPWSTR>(&text), 0, &inserts);
  va_end(inserts);
  if (n == 0) return L"<error " + std::to_wstring(GetLastError()) + L">";
  std::wstring s(text, n);
  EXPECT_EQ(wcslen(text), n);
  EXPECT_EQ(LocalFree(text), nullptr);
  return s;
}

TEST(Resources, StringsFollowTheInterfaceLanguageBlockByBlock) {
  struct Case {
    const char* what;
    LANGID language;
    UINT id;
    std::wstring text;
    DWORD error;  // when the text is empty
  };
  const Case cases[] = {
      {"English", kEnglish, IDS_TITLE, L"Magnetic Card Reader Writer USB  Driver Uninstaller", 0},
      {"escapes", kEnglish, IDS_DONE, L"Done \"quoted\" \\ tab\there", 0},
      {"Japanese", kJapanese, IDS_ERROR, L"\u30a8\u30e9\u30fc\u304c\u767a\u751f\u3057\u307e\u3057\u305f\u3002", 0},
      {"line feed kept", kJapanese, IDS_RESTART,
       L"\u518d\u8d77\u52d5\u3057\u3066\u304f\u3060\u3055\u3044\u3002\n[ OK ] \u3092\u30af\u30ea\u30c3\u30af\u3057\u3066\u304f\u3060\u3055\u3044\u3002", 0},
      {"a block without Japanese falls back to English", kJapanese, IDS_ENGLISH_BLOCK,
       L"Block without a Japanese variant", 0},
      // The language is chosen for the block, so a string the Japanese block
      // lacks is missing, not English.
      {"missing from the chosen block", kJapanese, IDS_ONLY_IN_BLOCK, L"", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"another language falls back to English", MAKELANGID(0x07, 0x01), IDS_ERROR, L"The error occurred.", 0},
      {"no such string", kEnglish, 9999, L"", ERROR_RESOURCE_NAME_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OnMachine(c.language, [&] {
      DWORD error = 0;
      EXPECT_EQ(Load(c.id, &error), c.text);
      if (c.text.empty()) {
        EXPECT_EQ(error, c.error);
      }
    });
  }
}

TEST(Resources, LoadStringBufferForms) {
  OnMachine(kEnglish, [] {
    // Zero: a pointer to the resource itself, not terminated.
    const WCHAR* direct = nullptr;
    int n = LoadStringW(winsim::user::ProgramInstance(), IDS_ERROR, reinterpret_cast<LPWSTR>(&direct), 0);
    ASSERT_EQ(n, 19);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::wstring(direct, n), L"The error occurred.");
    EXPECT_NE(direct[n], L'\0');

    WCHAR small[8];
    EXPECT_EQ(LoadStringW(nullptr, IDS_ERROR, small, 8), 7);
    EXPECT_STREQ(small, L"The err");
    WCHAR one[1] = {L'x'};
    EXPECT_EQ(LoadStringW(nullptr, IDS_ERROR, one, 1), 0);
    EXPECT_EQ(one[0], L'\0');
  });
}

// The fixture's lines end in LF, and the message compiler keeps a text's
// line breaks as the file has them.
TEST(Resources, MessagesFollowTheInterfaceLanguage) {
  OnMachine(kEnglish, [] {
    EXPECT_EQ(Message(MSG_USAGE, L"korvctl"), L"korvctl: unknown command.\n");
    EXPECT_EQ(Message(MSG_NO_BREAK), L"No line break here");
  });
  OnMachine(kJapanese, [] {
    EXPECT_EQ(Message(MSG_USAGE, L"korvctl"), L"korvctl: \u30b3\u30de\u30f3\u30c9\u304c\u9055\u3044\u307e\u3059\u3002\n");
    EXPECT_EQ(Message(MSG_TWO_INSERTS, L"a", L"b"), L"a \u3068 b\n");
  });
}

TEST(Resources, MessageLanguagesAskedForExplicitly) {
  OnMachine(kJapanese, [] {
    WCHAR buffer[64];
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(L"x")};
    auto format = [&](DWORD language) {
      SetLastError(kSentinel);
      return FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                            MSG_USAGE, language, buffer, 64, reinterpret_cast<va_list*>(args));
    };
    ASSERT_NE(format(kEnglish), 0u);
    EXPECT_STREQ(buffer, L"x: unknown command.\n");
    EXPECT_EQ(format(MAKELANGID(0x07, 0x01)), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);

    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             12345, 0, buffer, 64, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  });
}

// ---- inserts and escapes -----------------------------------------------------------------

std::wstring FromString(const wchar_t* pattern, DWORD flags, ...) {
  va_list args;
  va_start(args, flags);
  WCHAR buffer[128];
  SetLastError(kSentinel);
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, pattern, 0, 0, buffer, 128, &args);
  va_end(args);
  if (n == 0) return L"<error " + std::to_wstring(GetLastError()) + L">";
  EXPECT_EQ(wcslen(buffer), n);
  return buffer;
}

TEST(Resources, Inserts) {
  OnMachine(kEnglish, [] {
    struct Case {
      const char* what;
      std::wstring got;
      std::wstring expected;
    };
    const std::wstring kBad = L"<error " + std::to_wstring(ERROR_INVALID_PARAMETER) + L">";
    const Case cases[] = {
        {"default is a wide string", FromString(L"[%1]", 0, L"wide"), L"[wide]"},
        {"out of order and repeated", FromString(L"%2-%1-%2", 0, L"a", L"b"), L"b-a-b"},
        {"integers between strings", FromString(L"%1!ls!=%2!d! (%3!08x!) %4!u!", 0, L"n", -5, 0xBEEFu, 7u),
         L"n=-5 (0000beef) 7"},
        {"width, precision, left", FromString(L"[%1!-6s!][%2!.2ls!][%3!5d!]", 0, L"ab", L"abcd", 42),
         L"[ab    ][ab][   42]"},
        {"width from the next argument", FromString(L"[%1!*d!]", 0, 4, 7), L"[   7]"},
        {"narrow string", FromString(L"%1!hs!", 0, "narrow"), L"narrow"},
        {"64-bit integer", FromString(L"%1!I64u!", 0, 0x100000000ULL), L"4294967296"},
        {"escapes", FromString(L"a%nb%rc%td%%e% f%.%!", 0), L"a\r\nb\rc\td%e f.!"},
        {"%0 ends the text", FromString(L"abc%0def", 0), L"abc"},
        {"line breaks of the text kept", FromString(L"one\r\ntwo\r\n", 0), L"one\r\ntwo\r\n"},
        {"max width mask", FromString(L"one\r\ntwo%n", FORMAT_MESSAGE_MAX_WIDTH_MASK), L"one two\r\n"},
        {"ignored inserts stay", FromString(L"%1 and %2!d!%%", FORMAT_MESSAGE_IGNORE_INSERTS),
         L"%1 and %2!d!%"},
        {"unclosed format", FromString(L"%1!d", 0, 1), kBad},
        {"unknown conversion", FromString(L"%1!k!", 0, 1), kBad},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
  });
}

TEST(Resources, FormatMessageBuffers) {
  OnMachine(kEnglish, [] {
    WCHAR buffer[8];
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"1234567", 0, 0, buffer, 8, nullptr), 7u);
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"12345678", 0, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, L"%1", 0, 0, buffer, 8, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // nSize is the least an allocated buffer holds.
    LPWSTR text = nullptr;
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, L"ab", 0, 0,
                             reinterpret_cast<LPWSTR>(&text), 64, nullptr),
              2u);
    ASSERT_NE(text, nullptr);
    text[63] = L'x';  // inside the block: AddressSanitizer would object otherwise
    EXPECT_STREQ(text, L"ab");
    EXPECT_EQ(LocalFree(text), nullptr);
  });
}

TEST(Resources, SystemMessages) {
  OnMachine(kEnglish, [] {
    WCHAR buffer[128];
    SetLastError(kSentinel);
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_ACCESS_DENIED, 0, buffer, 128, nullptr);
    EXPECT_EQ(n, wcslen(L"Access is denied.\r\n"));
    EXPECT_STREQ(buffer, L"Access is denied.\r\n");
    // The program's table first, then the system's.
    n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, ERROR_FILE_NOT_FOUND, 0, buffer, 128, nullptr);
    EXPECT_STREQ(buffer, L"The system cannot find the file specified.\r\n");
    SetLastError(kSentinel);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             0x7FFF, 0, buffer, 128, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  });
}

LPWSTR Allocated() {
  LPWSTR text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, L"x", 0, 0,
                 reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  return text;
}

TEST(ResourcesDeathTest, AllocatedMessagesMustBeFreedOnce) {
  EXPECT_DEATH(OnMachine(kEnglish, [] { Allocated(); }), "left behind:.*1 local memory block");
  EXPECT_DEATH(OnMachine(kEnglish,
                         [] {
                           LPWSTR t = Allocated();
                           LocalFree(t);
                           LocalFree(t);
                         }),
               "LocalFree: not a live local block");
}

}  // namespace
