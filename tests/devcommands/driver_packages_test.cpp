// "dp_add", "dp_delete" and "dp_enum" on the simulated machine's driver
// store: what each prints and returns, and what is left in C:\Windows\INF.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/devcommands/engine.h"
#include "winsim/machine/devices.h"
#include "winsim/machine/driver_store.h"
#include "winsim/machine/files.h"
#include "winsim/machine/libraries.h"

namespace devcommands::testing {
namespace {

namespace wm = winsim::machine;
using Names = std::vector<std::wstring>;

const char kReaderInf[] =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=Ports\r\n"
    "ClassGUID={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider=%Mfg%\r\n"
    "DriverVer=12/01/2026,1.2.3.4\r\n"
    "CatalogFile=korvusb.cat\r\n"
    "[Strings]\r\n"
    "Mfg=\"Kestrova\"\r\n";
// No provider, no date or version, a class GUID the machine does not know.
const char kBareInf[] =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "ClassGUID={0B0C0D0E-1111-2222-3333-444455556666}\r\n";
const wchar_t kPackage[] = L"C:\\Package\\korvusb.inf";
const wchar_t kBarePackage[] = L"C:\\Package\\bare.inf";

// Copies an INF into the store as the platform's installer would.
std::wstring AddToStore(const wchar_t* path, const char* text) {
  wm::PutFile(path, text);
  WCHAR destination[MAX_PATH];
  PWSTR name = nullptr;
  EXPECT_TRUE(
      SetupCopyOEMInfW(path, nullptr, SPOST_PATH, 0, destination, MAX_PATH, nullptr, &name));
  return name != nullptr ? name : L"";
}

// oem0.inf (the reader's, which a device was installed from) and oem1.inf.
void StoreWithTwoPackages() {
  EXPECT_EQ(AddToStore(kPackage, kReaderInf), L"oem0.inf");
  EXPECT_EQ(AddToStore(kBarePackage, kBareInf), L"oem1.inf");
  wm::AddDevice({.instanceId = L"USB\\VID_2E6B&PID_7A31\\OLD1",
                 .className = L"Ports",
                 .infPath = L"oem0.inf"});
}

// ---- dp_add ---------------------------------------------------------------------

TEST(DpAdd, CopiesAnInfIntoTheStoreUnderItsNewName) {
  Names after;
  EngineRun run = RunEngine(
      {L"dp_add", L"..\\..\\Package\\korvusb.inf"},  // from C:\Windows\System32
      [] {
        wm::PutFile(L"C:\\Windows\\INF\\oem0.inf", kBareInf);
        wm::PutFile(kPackage, kReaderInf);
      },
      [&] { after = wm::OemInfs(); });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out, Message(61115, {L"oem1.inf"}));
  EXPECT_EQ(after, (Names{L"oem0.inf", L"oem1.inf"}));
}

TEST(DpAdd, AMissingInfOrNoArgumentIsRefused) {
  EngineRun missing = RunEngine({L"dp_add", L"C:\\Package\\none.inf"});
  EXPECT_EQ(missing.result, RESULT_FAILURE);
  EXPECT_EQ(missing.out, Message(61114));
  EngineRun none = RunEngine({L"dp_add"});
  EXPECT_EQ(none.result, RESULT_BAD_USAGE);
  EXPECT_EQ(none.out, "");
}

// ---- dp_delete ----------------------------------------------------------------------

TEST(DpDelete, UninstallsByFileNameOnlyAndReportsEachRefusal) {
  struct Row {
    const char* what;
    std::vector<std::wstring> args;
    int result;
    std::string out;
    Names left;
  } rows[] = {
      {"a full path in another directory names the INF in the store",
       {L"dp_delete", L"C:\\Package\\oem1.inf"},
       RESULT_SUCCESS,
       Message(61119, {L"oem1.inf"}),
       {L"oem0.inf"}},
      {"a bare name",
       {L"dp_delete", L"OEM1.INF"},
       RESULT_SUCCESS,
       Message(61119, {L"OEM1.INF"}),
       {L"oem0.inf"}},
      {"still used by a device",
       {L"dp_delete", L"oem0.inf"},
       RESULT_FAILURE,
       Message(61117),
       {L"oem0.inf", L"oem1.inf"}},
      {"still used, forced",
       {L"-f", L"dp_delete", L"oem0.inf"},
       RESULT_SUCCESS,
       Message(61119, {L"oem0.inf"}),
       {L"oem1.inf"}},
      {"not an installed OEM INF",
       {L"dp_delete", L"machine.inf"},
       RESULT_FAILURE,
       Message(61118),
       {L"oem0.inf", L"oem1.inf"}},
      {"no file name part",
       {L"dp_delete", L"C:\\Windows\\INF\\"},
       RESULT_FAILURE,
       Message(61113),
       {L"oem0.inf", L"oem1.inf"}},
      {"no argument", {L"dp_delete"}, RESULT_BAD_USAGE, "", {L"oem0.inf", L"oem1.inf"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Names left;
    EngineRun run = RunEngine(row.args, StoreWithTwoPackages, [&] { left = wm::OemInfs(); });
    EXPECT_EQ(run.result, row.result);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(left, row.left);
  }
}

TEST(DpDelete, WithoutTheUninstallFunctionFailsSilently) {
  struct Row {
    const char* what;
    void (*takeAway)();
  } rows[] = {
      {"no setupapi.dll", [] { wm::RemoveLibrary(L"setupapi.dll"); }},
      {"no SetupUninstallOEMInfW",
       [] { wm::RemoveExport(L"setupapi.dll", "SetupUninstallOEMInfW"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Names left;
    int loads = -1;
    EngineRun run = RunEngine(
        {L"dp_delete", L"oem1.inf"},
        [&] {
          StoreWithTwoPackages();
          row.takeAway();
        },
        [&] {
          left = wm::OemInfs();
          loads = wm::LoadCount(L"setupapi.dll");
        });
    EXPECT_EQ(run.result, RESULT_FAILURE);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(left, (Names{L"oem0.inf", L"oem1.inf"}));
    EXPECT_EQ(loads, 0) << "the library is released";
  }
}

// ---- dp_enum ------------------------------------------------------------------------

std::string ReaderDetails(bool withSignatureCheck) {
  std::string text = Message(61122, {L"oem0.inf"}) + Message(61123, {L"Kestrova"}) +
                     Message(61125, {L"Ports (COM & LPT)"});
  if (withSignatureCheck) {
    text += Message(61131, {L"Kestrova Signing"}) + Message(61129, {L"12/01/2026"}) +
            Message(61127, {L"1.2.3.4"});
  }
  return text;
}

std::string BareDetails(bool withSignatureCheck) {
  std::string text = Message(61122, {L"oem1.inf"}) + Message(61124) + Message(61126);
  if (withSignatureCheck) text += Message(61132) + Message(61130) + Message(61128);
  return text;
}

TEST(DpEnum, ListsEachOemInfWithItsDetails) {
  struct Row {
    const char* what;
    DWORD signatureError;
    bool checkAvailable;
  } rows[] = {
      {"verified", 0, true},
      {"signed by a trusted publisher", ERROR_AUTHENTICODE_TRUSTED_PUBLISHER, true},
      {"without the signature check", 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EngineRun run = RunEngine({L"dp_enum"}, [&] {
      StoreWithTwoPackages();
      wm::SignInf(L"oem0.inf", L"Kestrova Signing", row.signatureError);
      if (!row.checkAvailable) wm::RemoveExport(L"setupapi.dll", "SetupVerifyInfFileW");
    });
    EXPECT_EQ(run.result, RESULT_SUCCESS);
    EXPECT_EQ(run.out,
              Message(61121) + ReaderDetails(row.checkAvailable) + BareDetails(row.checkAvailable));
  }
}

TEST(DpEnum, AnInfThatCannotBeOpenedGetsItsNameOnly) {
  EngineRun run = RunEngine(
      {L"dp_enum"}, [] { wm::PutFile(L"C:\\Windows\\INF\\oem7.inf", "not an INF at all\r\n"); });
  EXPECT_EQ(run.result, RESULT_SUCCESS);
  EXPECT_EQ(run.out, Message(61121) + Message(61122, {L"oem7.inf"}));
}

TEST(DpEnum, AnEmptyStoreOrAnArgument) {
  EngineRun empty = RunEngine({L"dp_enum"}, [] {
    wm::PutFile(L"C:\\Windows\\INF\\machine.inf", kBareInf);  // not an OEM INF
  });
  EXPECT_EQ(empty.result, RESULT_SUCCESS);
  EXPECT_EQ(empty.out, Message(61120));
  EngineRun argument = RunEngine({L"dp_enum", L"oem0.inf"});
  EXPECT_EQ(argument.result, RESULT_BAD_USAGE);
  EXPECT_EQ(argument.out, "");
}

}  // namespace
}  // namespace devcommands::testing
