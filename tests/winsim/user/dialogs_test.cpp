// Dialogs from the fixture's templates and message boxes: a modal dialog
// ended during WM_INITDIALOG is never shown, a modeless one is shown only
// when its template asks and goes with its owner, and message boxes are
// recorded with the answers a scenario scripted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/fixture_resource.h"
#include "platform/win32.h"
#include "winsim/kernel/sim.h"

namespace {

namespace wk = winsim::kernel;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);

template <typename Body>
void OnMachine(Body body) {
  wk::Run(0, [&] {
    body();
    wk::CheckCleanMachine();
  });
}

// What the main dialog's procedure saw, and what it does at WM_INITDIALOG.
struct Host {
  std::vector<UINT> messages;
  LPARAM initParam = 0;
  HWND focus = nullptr;
  HWND okButton = nullptr;
  std::wstring caption;
  HWND wait = nullptr;
  bool end = true;
};

INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static Host* host = nullptr;
  if (message == WM_INITDIALOG) host = reinterpret_cast<Host*>(lParam);
  host->messages.push_back(message);
  if (message != WM_INITDIALOG) return FALSE;
  host->initParam = lParam;
  host->focus = reinterpret_cast<HWND>(wParam);
  ShowWindow(dialog, SW_HIDE);
  host->okButton = GetDlgItem(dialog, IDOK);
  WCHAR caption[16] = L"";
  GetWindowTextW(dialog, caption, 16);
  host->caption = caption;
  host->wait = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_WAIT), dialog, nullptr, 0);
  if (host->end) EndDialog(dialog, 42);
  return TRUE;
}

TEST(Dialogs, AMainDialogEndedDuringInitialisationIsNeverShown) {
  OnMachine([] {
    Host host;
    SetLastError(kSentinel);
    INT_PTR result = DialogBoxParamW(winsim::user::ProgramInstance(), MAKEINTRESOURCEW(IDD_MAIN),
                                     nullptr, MainProc, reinterpret_cast<LPARAM>(&host));
    EXPECT_EQ(result, 42);
    EXPECT_EQ(host.messages, (std::vector<UINT>{WM_INITDIALOG, WM_DESTROY}));
    EXPECT_NE(host.focus, nullptr);
    EXPECT_EQ(host.focus, host.okButton);  // the first tab stop
    EXPECT_EQ(host.caption, L"Main");
    EXPECT_FALSE(IsWindow(host.wait));  // destroyed with its owner

    std::vector<winsim::user::DialogRecord> dialogs = winsim::user::Dialogs();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].templateId, static_cast<UINT>(IDD_MAIN));
    EXPECT_TRUE(dialogs[0].modal);
    EXPECT_EQ(dialogs[1].templateId, static_cast<UINT>(IDD_WAIT));
    EXPECT_EQ(dialogs[1].owner, dialogs[0].handle);
    for (const auto& d : dialogs) {
      EXPECT_FALSE(d.everVisible);
      EXPECT_TRUE(d.destroyed);
    }
  });
}

TEST(Dialogs, TemplatesFollowTheInterfaceLanguage) {
  OnMachine([] {
    winsim::user::SetUserUILanguage(kJapanese);
    Host host;
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainProc,
                    reinterpret_cast<LPARAM>(&host));
    EXPECT_EQ(host.caption, L"\u30e1\u30a4\u30f3");
    EXPECT_EQ(winsim::user::Dialogs()[0].language, kJapanese);
    EXPECT_EQ(winsim::user::Dialogs()[1].language, kJapanese);
    // Only English has template 110.
    HWND visible = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_VISIBLE), nullptr, nullptr, 0);
    ASSERT_NE(visible, nullptr);
    EXPECT_TRUE(IsWindowVisible(visible));  // WS_VISIBLE in the template
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(visible, IDC_NAME)));
    EXPECT_TRUE(SetDlgItemTextW(visible, IDC_NAME, L"changed"));
    WCHAR text[16];
    EXPECT_EQ(GetDlgItemTextW(visible, IDC_NAME, text, 16), 7u);
    EXPECT_FALSE(ShowWindow(visible, SW_SHOW) == FALSE);
    EXPECT_TRUE(DestroyWindow(visible));
  });
}

TEST(Dialogs, Failures) {
  OnMachine([] {
    SetLastError(kSentinel);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(999), nullptr, MainProc, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    SetLastError(kSentinel);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), reinterpret_cast<HWND>(0x1234),
                              MainProc, 0),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    HWND wait = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(IDD_WAIT), nullptr, nullptr, 0);
    SetLastError(kSentinel);
    EXPECT_EQ(GetDlgItem(wait, 5), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);
    DestroyWindow(wait);
    SetLastError(kSentinel);
    EXPECT_FALSE(DestroyWindow(wait));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  });
}

TEST(DialogsDeathTest, AModalDialogLeftOpenWouldWaitForAUser) {
  EXPECT_DEATH(OnMachine([] {
                 Host host;
                 host.end = false;
                 DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainProc,
                                 reinterpret_cast<LPARAM>(&host));
               }),
               "DialogBoxParamW: the dialog is open after WM_INITDIALOG");
}

TEST(MessageBoxes, RecordedAndAnsweredAsScripted) {
  OnMachine([] {
    EXPECT_EQ(MessageBoxW(nullptr, L"Different Windows Version", L"Warning", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"restart?", L"Title", MB_OKCANCEL), IDOK);
    winsim::user::ScriptMessageBoxAnswer(IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, L"restart?", L"Title", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, L"sure?", nullptr, MB_YESNO | MB_DEFBUTTON2 | MB_ICONERROR), IDNO);

    const auto& boxes = winsim::user::MessageBoxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].text, L"Different Windows Version");
    EXPECT_EQ(boxes[0].caption, L"Warning");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[2].answer, IDCANCEL);
    EXPECT_EQ(boxes[3].caption, L"Error");  // the platform's caption for none
    EXPECT_EQ(boxes[3].type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2 | MB_ICONERROR));
  });
}

TEST(MessageBoxes, DefaultCaptionInJapanese) {
  OnMachine([] {
    winsim::user::SetUserUILanguage(kJapanese);
    MessageBoxW(nullptr, L"x", nullptr, MB_OK);
    EXPECT_EQ(winsim::user::MessageBoxes().at(0).caption, L"\u30a8\u30e9\u30fc");
  });
}

TEST(MessageBoxesDeathTest, ScriptsMustMatchTheBoxes) {
  EXPECT_DEATH(OnMachine([] {
                 winsim::user::ScriptMessageBoxAnswer(IDCANCEL);
                 MessageBoxW(nullptr, L"x", L"y", MB_OK);
               }),
               "scripted answer 2 is not a button");
  EXPECT_DEATH(OnMachine([] { winsim::user::ScriptMessageBoxAnswer(IDOK); }),
               "left behind:.*1 scripted message box answer");
}

}  // namespace
