// "help", "?" and "reboot".
#include <gtest/gtest.h>

#include <sstream>

#include "tests/devcommands/case_name.h"
#include "tests/devcommands/engine.h"

namespace devcommands::testing {
namespace {

const std::wstring kBase = kBaseName;

// Every command "help" lists, in its order; "?" is not one of them.
const std::vector<std::string> kListed = {
    "classfilter", "classes",   "disable",   "driverfiles", "drivernodes", "enable", "find",
    "findall",     "help",      "hwids",     "install",     "listclass",   "reboot", "remove",
    "rescan",      "resources", "restart",   "sethwid",     "stack",       "status", "update",
    "updateni",    "dp_add",    "dp_delete", "dp_enum"};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

struct HelpCase {
  const char* what;
  std::vector<std::wstring> args;
  DWORD message;  // header of the general help, or the detail text
  std::wstring secondInsert;
  bool listsCommands;
};
PRINT_ROW_AS_WHAT(HelpCase)

class Help : public ::testing::TestWithParam<HelpCase> {};

TEST_P(Help, PrintsItsMessageAndReturnsSuccess) {
  const HelpCase& c = GetParam();
  std::vector<winsim::machine::RestartRequest> restarts;
  EngineRun run = RunEngine(c.args, nullptr, [&] { restarts = TakeRestartRequests(); });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(restarts.empty());

  std::string head = Message(c.message, {kBase, c.secondInsert});
  ASSERT_EQ(run.out.substr(0, head.size()), head);
  std::vector<std::string> rows = Lines(run.out.substr(head.size()));
  if (!c.listsCommands) {
    EXPECT_TRUE(rows.empty()) << run.out;
    return;
  }
  // One line per listed command, in table order, each naming its command.
  ASSERT_EQ(rows.size(), kListed.size()) << run.out;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].substr(0, kListed[i].size() + 1), kListed[i] + " ") << rows[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Help,
    ::testing::Values(
        HelpCase{"general help", {L"help"}, 60100, L"", true},
        HelpCase{"slash question mark", {L"/?"}, 60100, L"", true},
        HelpCase{"dash question mark in capitals", {L"-HELP"}, 60100, L"", true},
        HelpCase{"one command", {L"help", L"remove"}, 61200, L"remove", false},
        HelpCase{
            "one command, table spelling", {L"help", L"ReMoVe", L"more"}, 61200, L"remove", false},
        HelpCase{"reboot", {L"?", L"reboot"}, 60800, L"reboot", false},
        HelpCase{"help of help", {L"help", L"help"}, 60100, L"help", true},
        HelpCase{"help of ?", {L"help", L"?"}, 60100, L"?", true},
        HelpCase{"a word that is no command", {L"help", L"bogus"}, 60102, L"bogus", true},
        HelpCase{"an option after help is a word", {L"help", L"-m:"}, 60102, L"-m:", true},
        HelpCase{"non-ASCII word", {L"help", L"\u017Ftatus"}, 60102, L"\u017Ftatus", true},
        HelpCase{"options are ignored", {L"-m:\\\\far", L"-f", L"-r", L"help"}, 60100, L"", true}),
    ByWhat());

// ---- reboot ----------------------------------------------------------------

struct RebootOutcome {
  EngineRun run;
  std::vector<winsim::machine::RestartRequest> restarts;
  bool privilegeEnabled;
};

RebootOutcome Reboot(const std::vector<std::wstring>& args,
                     const std::function<void()>& setup = nullptr) {
  RebootOutcome outcome{};
  outcome.run = RunEngine(args, setup, [&] {
    outcome.restarts = TakeRestartRequests();
    outcome.privilegeEnabled = winsim::machine::PrivilegeEnabled(L"SeShutdownPrivilege");
  });
  return outcome;
}

TEST(Reboot, EnablesTheShutdownPrivilegeAndRestartsTheLocalMachine) {
  RebootOutcome outcome = Reboot({L"reboot", L"ignored", L"-m:ignored"});
  EXPECT_EQ(outcome.run.result, RESULT_SUCCESS);
  EXPECT_EQ(outcome.run.out, Message(60802));
  EXPECT_EQ(outcome.run.err, "");
  EXPECT_TRUE(outcome.privilegeEnabled);
  ASSERT_EQ(outcome.restarts.size(), 1u);
  ExpectEngineRestart(outcome.restarts[0]);
  EXPECT_EQ(outcome.restarts[0].error, 0u);
}

struct RefusalCase {
  const char* what;
  std::function<void()> setup;
};
PRINT_ROW_AS_WHAT(RefusalCase)

class RebootRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RebootRefused, StillAsksAndFails) {
  RebootOutcome outcome = Reboot({L"reboot"}, GetParam().setup);
  EXPECT_EQ(outcome.run.result, RESULT_FAILURE);
  EXPECT_EQ(outcome.run.out, Message(60802));
  EXPECT_EQ(outcome.run.err, Message(60001, {kBase, L"reboot"}));
  ASSERT_EQ(outcome.restarts.size(), 1u);
  EXPECT_NE(outcome.restarts[0].error, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RebootRefused,
    ::testing::Values(RefusalCase{"the machine refuses",
                                  [] { winsim::machine::RefuseShutdown(ERROR_NOT_READY); }},
                      RefusalCase{"no shutdown privilege",
                                  [] { winsim::machine::RemovePrivilege(L"SeShutdownPrivilege"); }},
                      RefusalCase{
                          "the token cannot be opened",
                          [] { winsim::machine::FailOpenProcessToken(ERROR_ACCESS_DENIED); }}),
    ByWhat());

TEST(Reboot, RefusesAnotherMachineWithoutAsking) {
  RebootOutcome outcome = Reboot({L"-m:\\\\far", L"reboot"});
  EXPECT_EQ(outcome.run.result, RESULT_BAD_USAGE);
  EXPECT_EQ(outcome.run.out, "");
  EXPECT_EQ(outcome.run.err, Message(60002, {kBase, L"reboot"}));
  EXPECT_TRUE(outcome.restarts.empty());
}

}  // namespace
}  // namespace devcommands::testing
