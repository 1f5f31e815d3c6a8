// Message boxes: recorded, and answered from the scenario's script.
#include <deque>

#include "winsim/kernel/sim.h"
#include "winsim/user/dialogs.h"
#include "winsim/user/errors.h"
#include "winsim/user/fault.h"

namespace {

struct Boxes {
  std::vector<winsim::user::MessageBoxRecord> shown;
  std::deque<int> answers;
};

// Answers scripted and never asked for are left over at the end of a
// scenario: the box the test expected did not appear.
Boxes& State() {
  static Boxes boxes;
  static bool registered = false;
  if (!registered) {
    winsim::kernel::RegisterRunState(
        "scripted message box answer(s)", [] { State() = Boxes{}; },
        [] { return static_cast<LONG>(State().answers.size()); });
    registered = true;
  }
  return boxes;
}

// The buttons of each MB_ type, in order.
std::vector<int> Buttons(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OK:
      return {IDOK};
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
      return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
      return {};
  }
}

std::wstring DefaultCaption() {
  return PRIMARYLANGID(winsim::user::UserUILanguage()) == LANG_JAPANESE ? L"エラー" : L"Error";
}

int Answer(const std::vector<int>& buttons, UINT type) {
  Boxes& b = State();
  if (b.answers.empty()) {
    size_t def = (type & MB_DEFMASK) >> 8;
    return buttons[def < buttons.size() ? def : 0];
  }
  int answer = b.answers.front();
  b.answers.pop_front();
  for (int button : buttons) {
    if (button == answer) return answer;
  }
  winsim::user::ProgramFault("MessageBoxW", "the scripted answer " + std::to_string(answer) +
                                                " is not a button of this message box");
}

}  // namespace

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  if (hWnd != nullptr && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::vector<int> buttons = Buttons(uType);
  if (buttons.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  int answer = Answer(buttons, uType);
  State().shown.push_back(
      {hWnd, lpText ? lpText : L"", lpCaption ? lpCaption : DefaultCaption(), uType, answer});
  return answer;
}

namespace winsim::user {

const std::vector<MessageBoxRecord>& MessageBoxes() { return State().shown; }

void ScriptMessageBoxAnswer(int answer) { State().answers.push_back(answer); }

}  // namespace winsim::user
