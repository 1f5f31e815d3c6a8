// PrintMessage and the catalogue it prints from.
#include "devcommands/messages.h"

#include <gtest/gtest.h>

#include "tests/devcommands/capture.h"
#include "winsim/kernel/sim.h"

namespace devcommands::testing {
namespace {

// Every message the engine's commands print, by id.
const DWORD kCatalogue[] = {
    60000, 60001, 60002, 60100, 60101, 60102, 60200, 60201, 60202, 60203, 60300, 60301, 60302,
    60303, 60304, 60305, 60306, 60307, 60400, 60401, 60402, 60403, 60404, 60405, 60406, 60407,
    60408, 60409, 60410, 60411, 60412, 60413, 60414, 60415, 60416, 60417, 60500, 60501, 60503,
    60504, 60600, 60601, 60603, 60604, 60700, 60701, 60703, 60704, 60800, 60801, 60802, 60904,
    60905, 60906, 60907, 60908, 60909, 60910, 60911, 60912, 60913, 60914, 60915, 60916, 60917,
    60918, 60919, 60920, 60921, 60922, 60923, 60924, 60925, 60926, 60927, 60928, 60929, 60930,
    60931, 60932, 60933, 60934, 60935, 60936, 60937, 60938, 60939, 60940, 60941, 60942, 60943,
    60944, 60945, 61000, 61001, 61002, 61100, 61101, 61102, 61104, 61105, 61106, 61107, 61108,
    61109, 61110, 61111, 61112, 61113, 61114, 61115, 61116, 61117, 61118, 61119, 61120, 61121,
    61122, 61123, 61124, 61125, 61126, 61127, 61128, 61129, 61130, 61131, 61132, 61200, 61201,
    61202, 61203, 61204, 61300, 61301, 61302, 61303, 61304, 61400, 61401, 61500, 61501, 61502,
    61503, 61600, 61601, 61602, 61603, 61604, 61605};

std::wstring RawText(DWORD id) {
  LPWSTR buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  if (length == 0) return L"";
  std::wstring text(buffer, length);
  LocalFree(buffer);
  return text;
}

TEST(Catalogue, HasATextForEveryMessage) {
  winsim::kernel::Run(0, [] {
    for (DWORD id : kCatalogue) EXPECT_NE(RawText(id), L"") << "message " << id;
  });
}

TEST(PrintMessage, EndsALineWithOneLineFeedAndLeavesAnUnendedTextSo) {
  winsim::kernel::Run(0, [] {
    std::wstring line = RawText(60802);
    std::wstring unended = RawText(61201);  // a help list line
    size_t end = line.find_last_not_of(L"\r\n") + 1;
    ASSERT_LT(end, line.size()) << "message texts end in a line break";
    ASSERT_NE(unended, L"");
    ASSERT_NE(unended.back(), L'\n');

    Captured captured = CaptureOutput([] {
      PrintMessage(stdout, 60802);
      PrintMessage(stdout, 61201, L"remove");
      PrintMessage(stderr, 60000, L"korvctl");
    });
    std::string first = Utf8(line.substr(0, end)) + "\n";
    EXPECT_EQ(captured.out.substr(0, first.size()), first);
    EXPECT_EQ(captured.out.find('\r'), std::string::npos);
    EXPECT_NE(captured.out.back(), '\n') << "the list line keeps its missing line break";
    EXPECT_NE(captured.err.find("korvctl"), std::string::npos) << "inserts reach the text";
  });
}

TEST(PrintMessage, AnIdWithoutTextPrintsNothing) {
  winsim::kernel::Run(0, [] {
    Captured captured = CaptureOutput([] {
      PrintMessage(stdout, 60003);
      PrintMessage(stderr, 61606, L"x");
    });
    EXPECT_EQ(captured.out + captured.err, "");
  });
}

TEST(PrintIndent, WritesFourSpacesPerLevel) {
  Captured captured = CaptureOutput([] {
    PrintIndent(0);
    PrintIndent(2);
    fputws(L"x\n", stdout);
  });
  EXPECT_EQ(captured.out, "        x\n");
}

}  // namespace
}  // namespace devcommands::testing
