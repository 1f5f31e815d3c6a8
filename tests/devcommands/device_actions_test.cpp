// "remove", "enable", "disable" and "restart" on the simulated machine: a
// line per device, the summary, the result code, and what really happened to
// the devices (and to a driver stack running under one).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/devcommands/capture.h"
#include "tests/devcommands/devices.h"
#include "tests/devcommands/engine.h"
#include "tests/support/pass_driver.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/machine/devices.h"
#include "winsim/usb/bus.h"
#include "winsim/user/resources.h"

namespace devcommands::testing {
namespace {

namespace wm = winsim::machine;
using Log = std::vector<std::string>;

const std::wstring kUninstallerPattern = L"USB\\Vid_2e6b&Pid_7a31&*";
const std::wstring kPlugged = L"USB\\VID_2E6B&PID_7A31\\KV7A31-000001";  // the simulated reader
const std::wstring kOldReader = L"USB\\VID_2E6B&PID_7A31\\OLD1";

// The per-device line: the id padded to 60 columns, ": ", the text.
std::string Line(const std::wstring& id, const std::string& text) {
  std::string shown = Utf8(id);
  if (shown.size() < 60) shown.resize(60, ' ');
  return shown + ": " + text + "\n";
}

struct NodeState {
  bool inTree;
  bool started;
  ULONG problem;
};

NodeState StateOf(const std::wstring& id) {
  DEVINST node = 0;
  std::wstring text = id;
  if (CM_Locate_DevNode_ExW(&node, text.data(), CM_LOCATE_DEVNODE_PHANTOM, nullptr) != CR_SUCCESS) {
    return {false, false, 0};
  }
  ULONG status = 0, problem = 0;
  if (CM_Get_DevNode_Status_Ex(&status, &problem, node, 0, nullptr) != CR_SUCCESS) {
    return {true, false, 0};  // in the tree, not present
  }
  return {true, (status & DN_STARTED) != 0, problem};
}

void ExpectState(const std::wstring& id, NodeState want) {
  NodeState got = StateOf(id);
  EXPECT_EQ(got.inTree, want.inTree) << Utf8(id);
  EXPECT_EQ(got.started, want.started) << Utf8(id);
  EXPECT_EQ(got.problem, want.problem) << Utf8(id);
}

// The simulated reader plugged in with a driver running over it, and an
// older instance of it that is not connected.
EngineRun RunWithReaderPlugged(const std::vector<std::wstring>& args, bool refuseRemoval,
                               const std::function<void()>& check) {
  std::unique_ptr<winsim::usb::Bus> bus;
  winsim::usb::UsbDevice* reader = nullptr;
  return RunEngine(
      args,
      [&] {
        passdriver::Install();
        wm::AddDevice({.instanceId = kOldReader,
                       .hardwareIds = {L"USB\\VID_2E6B&PID_7A31&REV_0100"},
                       .className = L"USB",
                       .service = L"korvtest"});
        bus = std::make_unique<winsim::usb::Bus>();
        reader = &bus->Plug();
        passdriver::Log().clear();
        passdriver::RefuseQueryRemove(refuseRemoval);
      },
      [&] {
        check();
        passdriver::RefuseQueryRemove(false);
        bus->Unplug(*reader);
        bus.reset();
      });
}

// ---- remove ---------------------------------------------------------------------

TEST(Remove, TheUninstallersPatternTakesConnectedAndPhantomReadersAlike) {
  EngineRun run = RunEngine({L"remove", kUninstallerPattern}, AddSampleDevices, [] {
    ExpectState(kReader, {false, false, 0});
    ExpectState(kPhantomReader, {false, false, 0});
    ExpectState(kBarePrefix, {true, true, 0});
  });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out,
            Line(kReader, "Removed") + Line(kPhantomReader, "Removed") + Message(61204, DWORD{2}));
}

TEST(Remove, AJapaneseInterfaceGetsTheSameEnglishTexts) {
  EngineRun run = RunEngine({L"remove", L"@" + kPhantomReader}, [] {
    AddSampleDevices();
    winsim::user::SetUserUILanguage(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out, Line(kPhantomReader, "Removed") + Message(61204, DWORD{1}));
}

TEST(Remove, NothingRemovedPrintsTheNothingMessage) {
  struct Row {
    const char* what;
    std::wstring selector;
  } rows[] = {
      {"no device matches", L"USB\\VID_0000&PID_0000*"},
      {"the only match has an id that cannot be read", L"ROOT\\LEGACY"},
  };
  for (const Row& row : rows) {
    EngineRun run = RunEngine({L"remove", row.selector}, AddSampleDevices, [] {
      ExpectState(kUnreadable, {true, true, 0});
    });
    EXPECT_EQ(run.result, RESULT_SUCCESS) << row.what;
    EXPECT_EQ(run.out, Message(61202)) << row.what;
  }
}

TEST(Remove, ARunningStackIsTakenDownOrLeftForTheRestart) {
  struct Row {
    bool refuse;
    int result;
    std::string readerText;
    DWORD summary;
    Log log;
    bool readerStays;
  } rows[] = {
      {false, RESULT_SUCCESS, "Removed", 61204, {"query-remove", "remove", "unload"}, false},
      {true,
       RESULT_REBOOT_NEEDED,
       "Removed on reboot",
       61203,
       {"query-remove", "cancel-remove"},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.readerText);
    EngineRun run = RunWithReaderPlugged({L"remove", kUninstallerPattern}, row.refuse, [&] {
      EXPECT_EQ(passdriver::Log(), row.log);
      ExpectState(kPlugged, {row.readerStays, row.readerStays, 0});
      EXPECT_EQ(wm::RemovalPendingAtRestart(kPlugged), row.readerStays);
      ExpectState(kOldReader, {false, false, 0});
    });
    EXPECT_EQ(run.result, row.result);
    EXPECT_EQ(run.out, Line(kPlugged, row.readerText) + Line(kOldReader, "Removed") +
                           Message(row.summary, DWORD{2}));
  }
}

TEST(Remove, ADeviceTheInstallerRefusesGetsItsLineAndIsNotCounted) {
  EngineRun one = RunEngine({L"remove", kUninstallerPattern}, [] {
    AddSampleDevices();
    wm::FailClassInstaller(kPhantomReader, ERROR_ACCESS_DENIED);
  });
  EXPECT_EQ(one.result, RESULT_SUCCESS);
  EXPECT_EQ(one.out, Line(kReader, "Removed") + Line(kPhantomReader, "Remove failed") +
                         Message(61204, DWORD{1}));

  EngineRun all = RunEngine({L"remove", kUninstallerPattern}, [] {
    AddSampleDevices();
    wm::FailClassInstaller(kReader, ERROR_ACCESS_DENIED);
    wm::FailClassInstaller(kPhantomReader, ERROR_ACCESS_DENIED);
  });
  EXPECT_EQ(all.result, RESULT_SUCCESS);
  EXPECT_EQ(all.out, Line(kReader, "Remove failed") + Line(kPhantomReader, "Remove failed") +
                         Message(61202));
}

// ---- what all four commands share ------------------------------------------------

TEST(DeviceActions, RefuseAMachineOptionOrNoSelectorAndAMissingTextBeforeTouchingAnything) {
  struct Row {
    std::vector<std::wstring> args;
    UINT hiddenText;  // 0: none
    int result;
  } rows[] = {
      {{L"enable"}, 0, RESULT_BAD_USAGE},
      {{L"-m:\\\\KORVSIM", L"disable", L"*"}, 0, RESULT_BAD_USAGE},
      {{L"restart"}, 0, RESULT_BAD_USAGE},
      {{L"-m:\\\\far", L"remove", L"*"}, 0, RESULT_BAD_USAGE},
      {{L"enable", L"*"}, 3002, RESULT_FAILURE},
      {{L"disable", L"*"}, 3004, RESULT_FAILURE},
      {{L"restart", L"*"}, 3006, RESULT_FAILURE},
      {{L"remove", L"*"}, 3011, RESULT_FAILURE},
  };
  for (const Row& row : rows) {
    std::wstring command;
    for (const std::wstring& arg : row.args) command += arg + L" ";
    SCOPED_TRACE(Utf8(command));
    EngineRun run = RunEngine(
        row.args,
        [&] {
          AddSampleDevices();
          if (row.hiddenText != 0) winsim::user::HideString(row.hiddenText);
        },
        [] {
          ExpectState(kReader, {true, true, 0});
          ExpectState(kPhantomReader, {true, false, 0});
        });
    EXPECT_EQ(run.result, row.result);
    EXPECT_EQ(run.out, "");
  }
}

// ---- enable, disable, restart ---------------------------------------------------------

TEST(ChangeState, DisableReportsEachConnectedDeviceAndAnUnreadableIdAsAQuestionMark) {
  EngineRun run =
      RunEngine({L"disable", L"USB\\VID_2E6B&PID_7A31", L"ROOT\\LEGACY"}, AddSampleDevices, [] {
        ExpectState(kReader, {true, false, CM_PROB_DISABLED});
        ExpectState(kBarePrefix, {true, false, CM_PROB_DISABLED});
        ExpectState(kUnreadable, {true, false, CM_PROB_DISABLED});
        ExpectState(kHub, {true, true, 0});
      });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  // Set order follows the device tree: ROOT before USB, then by id.
  EXPECT_EQ(run.out, Line(L"?", "Disabled") + Line(kReader, "Disabled") +
                         Line(kBarePrefix, "Disabled") + Message(60604, DWORD{3}));
}

TEST(ChangeState, EnableClearsADisableForEveryProfileAsWellAsForThisOne) {
  const std::wstring profileEnum =
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
      L"CurrentControlSet\\Enum\\";
  const std::wstring machineEnum = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
  EngineRun run = RunEngine(
      {L"enable", L"@" + kReader},
      [&] {
        AddSampleDevices();
        winsim::registry::SetDword(machineEnum + kReader, L"ConfigFlags", 1);
        winsim::registry::SetDword(profileEnum + kReader, L"CSConfigFlags", 1);
        ExpectState(kReader, {true, false, CM_PROB_DISABLED});
      },
      [] {
        ExpectState(kReader, {true, true, 0});
      });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out, Line(kReader, "Enabled") + Message(60504, DWORD{1}));
}

TEST(ChangeState, RestartTakesTheStackDownAndUpOrWaitsForTheMachine) {
  struct Row {
    bool refuse;
    int result;
    std::string text;
    DWORD summary;
    Log log;
  } rows[] = {
      {false, RESULT_SUCCESS, "Restarted", 60704, {"query-remove", "remove", "unload", "start"}},
      {true, RESULT_REBOOT_NEEDED, "Requires reboot", 60703, {"query-remove", "cancel-remove"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EngineRun run = RunWithReaderPlugged({L"restart", kUninstallerPattern}, row.refuse, [&] {
      EXPECT_EQ(passdriver::Log(), row.log);
      ExpectState(kPlugged, {true, true, 0});
    });
    EXPECT_EQ(run.result, row.result);
    EXPECT_EQ(run.out, Line(kPlugged, row.text) + Message(row.summary, DWORD{1}));
  }
}

TEST(ChangeState, AChangeTheInstallerRefusesEverywhereIsReportedAsNothingDone) {
  EngineRun run = RunEngine({L"enable", L"@" + kReader}, [] {
    AddSampleDevices();
    wm::FailClassInstaller(kReader, ERROR_ACCESS_DENIED);
  });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out, Line(kReader, "Enable failed") + Message(60403));
}

}  // namespace
}  // namespace devcommands::testing
