// INF files as SetupAPI reads them: the parser's rules as a table of small
// files, syntax errors with their line numbers, and the Setup* functions on
// files in the machine's INF directory (ANSI and UTF-16), with the last
// error checked against a sentinel around every call.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "winsim/kernel/sim.h"
#include "winsim/machine/files.h"
#include "winsim/user/inf_parser.h"

namespace {

namespace wk = winsim::kernel;
namespace inf = winsim::user::inf;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr WORD kEnglish = 0x409;

struct Parsed {
  DWORD error;
  UINT errorLine;
  inf::File file;
};

Parsed ParseText(const std::wstring& text, WORD language = kEnglish) {
  Parsed p{};
  inf::ParseResult r = inf::Parse(text, language, &p.file);
  p.error = r.error;
  p.errorLine = r.errorLine;
  return p;
}

struct LineCase {
  const char* what;
  std::wstring text;  // the lines after "[S]"
  bool hasKey;
  std::wstring key;
  std::vector<std::wstring> fields;
};

const LineCase kLines[] = {
    {"blanks trimmed around fields, kept inside", L"k =  a  b  ,  c  ", true, L"k", {L"a  b", L"c"}},
    {"quotes keep blanks", L"k = \"  a  \" ,b", true, L"k", {L"  a  ", L"b"}},
    {"doubled quotes inside quotes", L"k = \"say \"\"hi\"\"\"", true, L"k", {L"say \"hi\""}},
    {"quoted and unquoted parts join", L"k = ab\"c,d\"ef", true, L"k", {L"abc,def"}},
    {"comment ends the line", L"k = a ; b, c", true, L"k", {L"a"}},
    {"semicolon and equals inside quotes", L"k = \"a;b=c\"", true, L"k", {L"a;b=c"}},
    {"equals sign in a value", L"k = a=b", true, L"k", {L"a=b"}},
    {"empty fields", L"k = a,,b,", true, L"k", {L"a", L"", L"b", L""}},
    {"key without value", L"k =", true, L"k", {}},
    {"key with a blank value", L"k = ", true, L"k", {}},
    {"line without key", L"a, b", false, L"", {L"a", L"b"}},
    {"continuation", L"k = a,\\\r\n   b", true, L"k", {L"a", L"b"}},
    {"continuation before a comment", L"k = a, \\ ; more\r\n b", true, L"k", {L"a", L"b"}},
    {"quoted trailing backslash is no continuation", L"k = \"c:\\\"\r\nx = 1", true, L"k", {L"c:\\"}},
    {"backslash inside a value", L"k = USB\\Vid_2e6b&Pid_7a31", true, L"k", {L"USB\\Vid_2e6b&Pid_7a31"}},
    {"string substitution in key and fields", L"%Desc% = Install, %Id%", true, L"Card Reader",
     {L"Install", L"USB\\X"}},
    {"substitution is case-insensitive", L"k = %desc%", true, L"k", {L"Card Reader"}},
    {"%% is a percent sign", L"k = 100%%", true, L"k", {L"100%"}},
    {"undefined token stays as written", L"k = %Nope%", true, L"k", {L"%Nope%"}},
    {"quoted string value keeps its blanks", L"k = %Spaced%", true, L"k", {L" padded "}},
    {"string values are not substituted again", L"k = %Indirect%", true, L"k", {L"%Desc%"}},
};

const wchar_t kStrings[] =
    L"\r\n[Strings]\r\nDesc = \"Card Reader\"\r\nId = USB\\X\r\nSpaced = \" padded \"\r\n"
    L"Indirect = %Desc%\r\n";

TEST(InfParser, Lines) {
  for (const LineCase& c : kLines) {
    SCOPED_TRACE(c.what);
    Parsed p = ParseText(L"[S]\r\n" + c.text + kStrings);
    ASSERT_EQ(p.error, ERROR_SUCCESS);
    const inf::Section* s = inf::FindSection(p.file, L"s");
    ASSERT_NE(s, nullptr);
    ASSERT_FALSE(s->lines.empty());
    EXPECT_EQ(s->lines[0].hasKey, c.hasKey);
    EXPECT_EQ(s->lines[0].key, c.key);
    EXPECT_EQ(s->lines[0].fields, c.fields);
  }
}

TEST(InfParser, SectionsOfOneNameAreMergedInFileOrder) {
  Parsed p = ParseText(
      L"[Models]\r\na = 1\r\n[Other]\r\nx = 0\r\n[MODELS] ; again\r\nb = 2\r\n\r\n  ; only a comment\r\n"
      L"[models]\r\nc = 3\r\n");
  ASSERT_EQ(p.error, ERROR_SUCCESS);
  ASSERT_EQ(p.file.sections.size(), 2u);
  const inf::Section* s = inf::FindSection(p.file, L"mOdElS");
  ASSERT_NE(s, nullptr);
  std::vector<std::wstring> keys;
  std::vector<UINT> sourceLines;
  for (const inf::Line& l : s->lines) {
    keys.push_back(l.key);
    sourceLines.push_back(l.sourceLine);
  }
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(sourceLines, (std::vector<UINT>{2, 6, 10}));
}

TEST(InfParser, LocalizedStringsWinForTheirLanguage) {
  const std::wstring text =
      L"[S]\r\nk = %Name%, %Other%\r\n[Strings]\r\nName = English\r\nOther = Shared\r\n"
      L"[Strings.0411]\r\nName = Japanese\r\n";
  for (auto [language, name] : {std::pair<WORD, const wchar_t*>{0x409, L"English"}, {0x411, L"Japanese"}}) {
    Parsed p = ParseText(text, language);
    ASSERT_EQ(p.error, ERROR_SUCCESS);
    EXPECT_EQ(inf::FindSection(p.file, L"S")->lines[0].fields,
              (std::vector<std::wstring>{name, L"Shared"}));
  }
}

TEST(InfParser, SyntaxErrorsNameTheirLine) {
  struct Case {
    const char* what;
    std::wstring text;
    DWORD error;
    UINT line;
  };
  const Case cases[] = {
      {"entry before any section", L"; header\r\n\r\nk = v\r\n[S]\r\n", ERROR_EXPECTED_SECTION_NAME, 3},
      {"unclosed section name", L"[S]\r\nk = v\r\n[Broken\r\n", ERROR_BAD_SECTION_NAME_LINE, 3},
      {"text after a section name", L"[S]\r\n[T] junk\r\n", ERROR_BAD_SECTION_NAME_LINE, 2},
      {"section name too long", L"[S]\r\n\r\n[" + std::wstring(256, L'x') + L"]\r\n",
       ERROR_SECTION_NAME_TOO_LONG, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Parsed p = ParseText(c.text);
    EXPECT_EQ(p.error, c.error);
    EXPECT_EQ(p.errorLine, c.line);
  }
  Parsed longest = ParseText(L"[" + std::wstring(255, L'x') + L"]\r\nk = v\r\n");
  EXPECT_EQ(longest.error, ERROR_SUCCESS);
}

// ---- the Setup* functions ------------------------------------------------------------

std::string Fixture(const char* name) {
  std::ifstream in(std::string(KORV_USER_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  EXPECT_FALSE(out.str().empty()) << name;
  return out.str();
}

template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

HINF Open(const wchar_t* name, DWORD style, UINT* line, DWORD* error) {
  SetLastError(kSentinel);
  HINF h = SetupOpenInfFileW(name, nullptr, style, line);
  *error = GetLastError();
  return h;
}

std::wstring Field(INFCONTEXT* context, DWORD index) {
  WCHAR buffer[LINE_LEN];
  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_TRUE(SetupGetStringFieldW(context, index, buffer, LINE_LEN, &size));
  EXPECT_EQ(size, wcslen(buffer) + 1);
  return buffer;
}

TEST(InfFiles, AnsiAndUtf16FilesReadAlike) {
  OnMachine([] {
    winsim::machine::PutFile(L"C:\\Windows\\INF\\oem3.inf", Fixture("package_ansi.inf"));
    winsim::machine::PutFile(L"C:\\Windows\\INF\\oem4.inf", Fixture("package_utf16.inf"));
    for (const wchar_t* name : {L"oem3.inf", L"OEM4.INF"}) {
      SCOPED_TRACE(testing::Message() << "file " << testing::PrintToString(std::wstring(name)));
      UINT line = 99;
      DWORD error = 0;
      HINF h = Open(name, INF_STYLE_WIN4, &line, &error);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(line, 0u);
      INFCONTEXT c;
      SetLastError(kSentinel);
      ASSERT_TRUE(SetupFindFirstLineW(h, L"kestrovavirtualcom.nt", nullptr, &c));
      EXPECT_EQ(SetupGetFieldCount(&c), 2u);
      EXPECT_EQ(Field(&c, 0), L"Card Reader");
      EXPECT_EQ(Field(&c, 1), L"Install");
      EXPECT_EQ(Field(&c, 2), L"USB\\Vid_2e6b&Pid_7a31");
      ASSERT_TRUE(SetupFindFirstLineW(h, L"Version", L"PROVIDER", &c));
      EXPECT_EQ(Field(&c, 1), L"Kestrova Caf\u00e9");
      SetupCloseInfFile(h);
    }
  });
}

TEST(InfFiles, LocalizedStringsFollowTheUserInterfaceLanguage) {
  OnMachine([] {
    winsim::machine::PutFile(L"C:\\Windows\\INF\\oem4.inf", Fixture("package_utf16.inf"));
    winsim::user::SetUserUILanguage(0x411);
    DWORD error = 0;
    HINF h = Open(L"oem4.inf", INF_STYLE_WIN4, nullptr, &error);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    INFCONTEXT c;
    ASSERT_TRUE(SetupFindFirstLineW(h, L"KestrovaVirtualCOM.NT", nullptr, &c));
    EXPECT_EQ(Field(&c, 0), L"\u30ab\u30fc\u30c9\u30ea\u30fc\u30c0\u30fc");
    SetupCloseInfFile(h);
  });
}

TEST(InfFiles, OpenFailures) {
  struct Case {
    const char* what;
    const wchar_t* name;
    DWORD style;
    DWORD error;
    UINT line;
  };
  const Case cases[] = {
      {"missing file", L"oem9.inf", INF_STYLE_WIN4, ERROR_FILE_NOT_FOUND, 0},
      {"missing file by path", L"C:\\Drivers\\none.inf", INF_STYLE_WIN4, ERROR_PATH_NOT_FOUND, 0},
      {"no signature", L"unsigned.inf", INF_STYLE_WIN4, ERROR_WRONG_INF_STYLE, 0},
      {"legacy style asked for", L"good.inf", INF_STYLE_OLDNT, ERROR_WRONG_INF_STYLE, 0},
      {"syntax error", L"broken.inf", INF_STYLE_WIN4, ERROR_BAD_SECTION_NAME_LINE, 4},
  };
  OnMachine([&] {
    const std::string version = "[Version]\r\nSignature=\"$Chicago$\"\r\n";
    winsim::machine::PutFile(L"C:\\Windows\\INF\\good.inf", version);
    winsim::machine::PutFile(L"C:\\Windows\\INF\\unsigned.inf", "[Version]\r\nClass=Ports\r\n");
    winsim::machine::PutFile(L"C:\\Windows\\INF\\broken.inf", version + "\r\n[Models\r\n");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      UINT line = 99;
      DWORD error = 0;
      EXPECT_EQ(Open(c.name, c.style, &line, &error), INVALID_HANDLE_VALUE);
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(line, c.line);
    }
  });
}

TEST(InfFiles, BareNamesAreFoundInInfThenSystem32AndPathsAreTakenAsGiven) {
  OnMachine([] {
    const std::string file = "[Version]\r\nSignature=$Windows NT$\r\n[Where]\r\nhere\r\n";
    winsim::machine::PutFile(L"C:\\Windows\\System32\\sys.inf", file);
    winsim::machine::PutFile(L"C:\\Drivers\\pkg.inf", file);
    DWORD error = 0;
    for (const wchar_t* name : {L"sys.inf", L"C:\\Drivers\\pkg.inf"}) {
      HINF h = Open(name, INF_STYLE_WIN4, nullptr, &error);
      EXPECT_NE(h, INVALID_HANDLE_VALUE);
      if (h != INVALID_HANDLE_VALUE) SetupCloseInfFile(h);
    }
    EXPECT_EQ(Open(L"pkg.inf", INF_STYLE_WIN4, nullptr, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  });
}

TEST(InfFiles, FindingLines) {
  OnMachine([] {
    winsim::machine::PutFile(L"C:\\Windows\\INF\\lines.inf",
                             "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
                             "[Files]\r\nfirst = 1\r\nDup = 2\r\nkeyless\r\ndup = 3\r\n[Empty]\r\n");
    DWORD error = 0;
    HINF h = Open(L"lines.inf", INF_STYLE_WIN4, nullptr, &error);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    INFCONTEXT c;
    for (const wchar_t* section : {L"Empty", L"Missing"}) {
      SetLastError(kSentinel);
      EXPECT_FALSE(SetupFindFirstLineW(h, section, nullptr, &c));
      EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupFindFirstLineW(h, L"Files", L"none", &c));
    EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);

    ASSERT_TRUE(SetupFindFirstLineW(h, L"FILES", L"DUP", &c));
    EXPECT_EQ(Field(&c, 1), L"2");
    ASSERT_TRUE(SetupFindNextMatchLineW(&c, L"dup", &c));
    EXPECT_EQ(Field(&c, 1), L"3");
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupFindNextMatchLineW(&c, L"dup", &c));
    EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);

    // Walking the whole section, keyless line included.
    std::vector<std::wstring> walked;
    ASSERT_TRUE(SetupFindFirstLineW(h, L"Files", nullptr, &c));
    INFCONTEXT next = c;
    do {
      walked.push_back(Field(&next, 0) + L":" + Field(&next, 1));
      SetLastError(kSentinel);
    } while (SetupFindNextLine(&next, &next));
    EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);
    EXPECT_EQ(walked, (std::vector<std::wstring>{L"first:1", L"Dup:2", L":keyless", L"dup:3"}));
    SetupCloseInfFile(h);
  });
}

TEST(InfFiles, StringFieldSizes) {
  OnMachine([] {
    winsim::machine::PutFile(L"C:\\Windows\\INF\\f.inf",
                             "[Version]\r\nSignature=\"$Windows NT$\"\r\n[S]\r\nkey = hello, \r\n");
    DWORD error = 0;
    HINF h = Open(L"f.inf", INF_STYLE_WIN4, nullptr, &error);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    INFCONTEXT c;
    ASSERT_TRUE(SetupFindFirstLineW(h, L"S", nullptr, &c));
    EXPECT_EQ(SetupGetFieldCount(&c), 2u);

    DWORD size = 0;
    SetLastError(kSentinel);
    EXPECT_TRUE(SetupGetStringFieldW(&c, 1, nullptr, 0, &size));
    EXPECT_EQ(size, 6u);

    WCHAR small[5] = L"xxxx";
    size = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetupGetStringFieldW(&c, 1, small, 5, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 6u);

    WCHAR exact[6];
    EXPECT_TRUE(SetupGetStringFieldW(&c, 1, exact, 6, nullptr));
    EXPECT_STREQ(exact, L"hello");
    EXPECT_EQ(Field(&c, 2), L"");

    SetLastError(kSentinel);
    EXPECT_FALSE(SetupGetStringFieldW(&c, 3, exact, 6, &size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetupCloseInfFile(h);
  });
}

TEST(InfFilesDeathTest, ALeftOpenInfIsFoundAtTeardown) {
  EXPECT_DEATH(OnMachine([] {
                 winsim::machine::PutFile(L"C:\\Windows\\INF\\a.inf",
                                          "[Version]\r\nSignature=\"$Windows NT$\"\r\n");
                 DWORD error = 0;
                 Open(L"a.inf", INF_STYLE_WIN4, nullptr, &error);
               }),
               "left behind:.*1 INF handle");
}

TEST(InfFilesDeathTest, AClosedHandleIsNotUsedAgain) {
  EXPECT_DEATH(OnMachine([] {
                 winsim::machine::PutFile(L"C:\\Windows\\INF\\a.inf",
                                          "[Version]\r\nSignature=\"$Windows NT$\"\r\n[S]\r\nk=v\r\n");
                 DWORD error = 0;
                 HINF h = Open(L"a.inf", INF_STYLE_WIN4, nullptr, &error);
                 SetupCloseInfFile(h);
                 INFCONTEXT c;
                 SetupFindFirstLineW(h, L"S", nullptr, &c);
               }),
               "SetupFindFirstLineW: not an open INF handle");
}

}  // namespace
