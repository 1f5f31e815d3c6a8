// The dispatcher: option grammar, command lookup, what reaches the handler and
// what each result code makes it print or do.
#include <gtest/gtest.h>

#include "tests/devcommands/capture.h"
#include "tests/devcommands/case_name.h"
#include "tests/devcommands/engine.h"
#include "winsim/kernel/sim.h"

namespace devcommands::testing {
namespace {

const std::wstring kBase = kBaseName;

// ---- words that select no command ------------------------------------------

struct NoCommandCase {
  const char* what;
  std::vector<std::wstring> args;
};
PRINT_ROW_AS_WHAT(NoCommandCase)

class NoCommand : public ::testing::TestWithParam<NoCommandCase> {};

TEST_P(NoCommand, PrintsUsageOnStandardErrorAndReturnsBadUsage) {
  EngineRun run = RunEngine(GetParam().args);
  EXPECT_EQ(run.result, RESULT_BAD_USAGE);
  EXPECT_EQ(run.err, Message(60000, {kBase}));
  EXPECT_EQ(run.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, NoCommand,
    ::testing::Values(NoCommandCase{"only the program path", {}},
                      NoCommandCase{"the reboot option alone", {L"-r"}},
                      NoCommandCase{"every option, no command", {L"/F", L"-R", L"-M:far"}},
                      NoCommandCase{"machine option with nothing after the colon",
                                    {L"-m:", L"help"}},
                      NoCommandCase{"machine option without its colon", {L"-mfar", L"help"}},
                      NoCommandCase{"force letter with more after it", {L"-force", L"help"}},
                      NoCommandCase{"reboot letter with more after it", {L"/rr", L"help"}},
                      NoCommandCase{"a letter that is no option", {L"-x", L"help"}},
                      NoCommandCase{"a lone dash", {L"-"}},
                      NoCommandCase{"only one dash is skipped", {L"--help"}},
                      NoCommandCase{"an unknown word", {L"bogus"}},
                      NoCommandCase{"an empty word", {L""}},
                      NoCommandCase{"a prefix of a command", {L"hel"}},
                      NoCommandCase{"Kelvin sign is not folded to k", {L"STAC\u212A"}},
                      NoCommandCase{"long s is not folded to s", {L"\u017Ftatus"}},
                      NoCommandCase{"dotted capital I is not folded to i", {L"\u0130nstall"}}),
    ByWhat());

TEST(Dispatcher, AProgramPathWithoutBackslashIsItsOwnBaseName) {
  winsim::kernel::Run(0, [] {
    const WCHAR* argv[] = {L"korv/ctl"};
    Captured captured = CaptureOutput([&] { EXPECT_EQ(RunDeviceCommand(1, argv), 3); });
    EXPECT_EQ(captured.err, Message(60000, {L"korv/ctl"}));
  });
}

TEST(Dispatcher, NoArgumentsAtAllIsBadUsage) {
  winsim::kernel::Run(0, [] {
    Captured captured = CaptureOutput([] { EXPECT_EQ(RunDeviceCommand(0, nullptr), 3); });
    EXPECT_EQ(captured.err, Message(60000, {L""}));
  });
}

// ---- the handler's view --------------------------------------------------

struct HandlerCall {
  int calls = 0;
  std::wstring baseName;
  const WCHAR* machine = nullptr;
  DWORD flags = 0;
  int argc = -1;
  const WCHAR* const* args = nullptr;
  int result = RESULT_SUCCESS;  // what the handler returns
};
HandlerCall g_call;

int RecordingHandler(const WCHAR* baseName, const WCHAR* machine, DWORD flags, int argc,
                     const WCHAR* const* args) {
  ++g_call.calls;
  g_call.baseName = baseName;
  g_call.machine = machine;
  g_call.flags = flags;
  g_call.argc = argc;
  g_call.args = args;
  return g_call.result;
}

int OtherHandler(const WCHAR*, const WCHAR*, DWORD, int, const WCHAR* const*) {
  ADD_FAILURE() << "the second of two equal names was called";
  return RESULT_FAILURE;
}

const CommandEntry kTestTable[] = {
    {L"remove", RecordingHandler, 0, 0},
    {L"REMOVE", OtherHandler, 0, 0},
    {L"?", RecordingHandler, 0, 0},
    {nullptr, nullptr, 0, 0},
};

class Handler : public ::testing::Test {
 protected:
  void SetUp() override { g_call = HandlerCall{}; }
};

TEST_F(Handler, GetsBaseNameLastMachineFlagsAndTheVectorAfterTheWord) {
  winsim::kernel::Run(0, [] {
    const WCHAR* argv[] = {L"C:\\dir\\sub\\prog.exe",
                           L"-f",
                           L"-m:\\\\first",
                           L"/M:\\\\second",
                           L"ReMoVe",
                           L"-r",
                           L"/f",
                           L"-m:x"};
    Captured captured = CaptureOutput([&] { EXPECT_EQ(DispatchCommand(kTestTable, 8, argv), 0); });
    EXPECT_EQ(g_call.calls, 1);
    EXPECT_EQ(g_call.baseName, L"prog.exe");
    EXPECT_EQ(g_call.machine, argv[3] + 3) << "the machine is the text after the colon, in place";
    EXPECT_EQ(g_call.flags, COMMAND_FLAG_FORCE);
    EXPECT_EQ(g_call.argc, 3);
    EXPECT_EQ(g_call.args, argv + 5) << "options after the command word belong to the command";
    EXPECT_EQ(captured.out + captured.err, "");
  });
}

TEST_F(Handler, WithoutOptionsGetsNoMachineNoFlagsAndNoArguments) {
  EngineRun run = RunTable(kTestTable, {L"/remove"});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(g_call.machine, nullptr);
  EXPECT_EQ(g_call.flags, 0u);
  EXPECT_EQ(g_call.argc, 0);
}

TEST_F(Handler, SlashQuestionMarkNamesTheQuestionMarkRow) {
  RunTable(kTestTable, {L"/?"});
  EXPECT_EQ(g_call.calls, 1);
}

// ---- result codes ----------------------------------------------------------

struct ResultCase {
  const char* what;
  int handlerResult;
  bool rebootOption;
  bool shutdownAccepted;
  DWORD errMessage;  // 0: nothing on standard error
  bool restartRequested;
};
PRINT_ROW_AS_WHAT(ResultCase)

class Result : public ::testing::TestWithParam<ResultCase> {
 protected:
  void SetUp() override { g_call = HandlerCall{}; }
};

TEST_P(Result, IsPassedThroughWithItsMessageAndRestart) {
  const ResultCase& c = GetParam();
  g_call.result = c.handlerResult;
  std::vector<std::wstring> args{L"REMOVE"};
  if (c.rebootOption) args.insert(args.begin(), L"/R");
  std::vector<winsim::machine::RestartRequest> restarts;
  EngineRun run = RunTable(
      kTestTable, args,
      [&] {
        if (!c.shutdownAccepted) winsim::machine::RefuseShutdown(ERROR_NOT_READY);
      },
      [&] { restarts = TakeRestartRequests(); });
  EXPECT_EQ(run.result, c.handlerResult);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, c.errMessage == 0 ? "" : Message(c.errMessage, {kBase, L"remove"}));
  ASSERT_EQ(restarts.size(), c.restartRequested ? 1u : 0u);
  if (c.restartRequested) ExpectEngineRestart(restarts[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Dispatcher, Result,
    ::testing::Values(ResultCase{"success", 0, false, true, 0, false},
                      ResultCase{"success with -r", 0, true, true, 0, false},
                      ResultCase{"restart needed, no -r", 1, false, true, 0, false},
                      ResultCase{"restart needed with -r", 1, true, true, 0, true},
                      ResultCase{"restart needed with -r, refused", 1, true, false, 0, true},
                      ResultCase{"failure with -r", 2, true, true, 60001, false},
                      ResultCase{"bad usage with -r", 3, true, true, 60002, false},
                      ResultCase{"unexpected positive", 7, false, true, 60001, false},
                      ResultCase{"unexpected negative", -1, false, true, 60001, false}),
    ByWhat());

}  // namespace
}  // namespace devcommands::testing
