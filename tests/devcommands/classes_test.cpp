// "classes": one line per setup class, after a count.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/devcommands/engine.h"
#include "winsim/machine/devices.h"

namespace devcommands::testing {
namespace {

// {8A1C3F00-5D2E-4B7A-9C11-0F6E2D4B8A01}, a class only this test adds.
constexpr GUID kReaderClass = {0x8A1C3F00, 0x5D2E, 0x4B7A,
                               {0x9C, 0x11, 0x0F, 0x6E, 0x2D, 0x4B, 0x8A, 0x01}};

TEST(Classes, ListsEveryClassAsNameAndDescriptionAfterTheCount) {
  EngineRun run = RunEngine({L"classes"}, [] {
    winsim::machine::AddSetupClass(kReaderClass, L"CardReaders", L"Magnetic card readers");
  });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.err, "");
  std::istringstream lines(run.out);
  std::string header;
  std::getline(lines, header);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  EXPECT_EQ(header, std::to_string(rows.size()) + " setup classes:");
  EXPECT_GE(rows.size(), 2u);
  EXPECT_NE(std::find(rows.begin(), rows.end(), "CardReaders         : Magnetic card readers"),
            rows.end())
      << run.out;
  EXPECT_NE(std::find(rows.begin(), rows.end(),
                      "Ports               : " + std::string("Ports (COM & LPT)")),
            rows.end())
      << run.out;
}

TEST(Classes, AnUnreachableMachineFailsTheCommand) {
  EngineRun run = RunEngine({L"-m:\\\\far", L"classes"});
  EXPECT_EQ(run.result, RESULT_FAILURE);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, Message(60001, {kBaseName, L"classes"}));
}

}  // namespace
}  // namespace devcommands::testing
