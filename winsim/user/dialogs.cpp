// Window records for dialogs and their controls, and message boxes.
#include "winsim/user/dialogs.h"

#include <algorithm>
#include <map>

#include "winsim/kernel/sim.h"
#include "winsim/user/errors.h"
#include "winsim/user/fault.h"
#include "winsim/user/resource_lookup.h"

namespace wu = winsim::user;
namespace wr = winsim::user::resources;

namespace {

struct Window {
  bool dialog = false;
  bool modal = false;
  HWND owner = nullptr;
  HWND parent = nullptr;  // of a control
  DLGPROC proc = nullptr;
  DWORD style = 0;
  int controlId = 0;
  std::wstring text;
  std::vector<HWND> controls;
  bool ended = false;
  INT_PTR result = 0;
  size_t record = 0;  // index in the dialog history
};

struct Desktop {
  std::map<HWND, Window> windows;
  ULONG_PTR next = 0x10010;
  std::vector<wu::DialogRecord> dialogs;
};

Desktop& Screen() {
  static Desktop desktop;
  static bool registered = false;
  if (!registered) {
    winsim::kernel::RegisterRunState(
        "window(s)", [] { Screen() = Desktop{}; },
        [] { return static_cast<LONG>(Screen().windows.size()); });
    registered = true;
  }
  return desktop;
}

Window* Find(HWND h) {
  auto it = Screen().windows.find(h);
  return it == Screen().windows.end() ? nullptr : &it->second;
}

template <typename T>
T Fail(DWORD error, T value) {
  SetLastError(error);
  return value;
}

HWND NewWindow(Window w) {
  HWND h = reinterpret_cast<HWND>(Screen().next);
  Screen().next += 2;
  Screen().windows.emplace(h, std::move(w));
  return h;
}

bool Visible(HWND h) {
  const Window* w = Find(h);
  return w != nullptr && (w->style & WS_VISIBLE) && (w->parent == nullptr || Visible(w->parent));
}

void SetVisible(HWND h, bool visible) {
  Window* w = Find(h);
  w->style = visible ? (w->style | WS_VISIBLE) : (w->style & ~static_cast<DWORD>(WS_VISIBLE));
  if (w->dialog && visible) Screen().dialogs[w->record].everVisible = true;
}

void Destroy(HWND h) {
  std::vector<HWND> owned;
  for (auto& [handle, w] : Screen().windows) {
    if (w.owner == h) owned.push_back(handle);
  }
  for (HWND o : owned) Destroy(o);
  Window* w = Find(h);
  if (w == nullptr) return;
  if (w->proc != nullptr) w->proc(h, WM_DESTROY, 0, 0);
  w = Find(h);
  for (HWND c : w->controls) Screen().windows.erase(c);
  if (w->dialog) Screen().dialogs[w->record].destroyed = true;
  Screen().windows.erase(h);
}

HWND Create(const wr::DialogTemplate& t, HWND owner, DLGPROC proc, bool modal) {
  Window d;
  d.dialog = true;
  d.modal = modal;
  d.owner = owner;
  d.proc = proc;
  // Shown later, if at all: a modal dialog after WM_INITDIALOG, a modeless
  // one when the template asks for it.
  d.style = t.style & ~static_cast<DWORD>(WS_VISIBLE);
  d.text = t.caption ? t.caption : L"";
  d.record = Screen().dialogs.size();
  HWND h = NewWindow(std::move(d));
  Screen().dialogs.push_back({h, t.name ? 0u : t.id, t.language, modal, owner, false, false});
  for (size_t i = 0; i < t.controlCount; ++i) {
    const wr::DialogControl& c = t.controls[i];
    Window w;
    w.parent = h;
    w.style = c.style;
    w.controlId = static_cast<int>(c.id);
    w.text = c.text ? c.text : L"";
    HWND control = NewWindow(std::move(w));
    Find(h)->controls.push_back(control);
  }
  return h;
}

// The control WM_INITDIALOG offers the focus to: the first tab stop.
WPARAM FirstTabStop(HWND dialog) {
  for (HWND c : Find(dialog)->controls) {
    if (Find(c)->style & WS_TABSTOP) return reinterpret_cast<WPARAM>(c);
  }
  return 0;
}

struct Opened {
  HWND handle = nullptr;
  bool badOwner = false;
  DWORD templateStyle = 0;
};

// Creates the dialog and runs WM_INITDIALOG; no handle, with the error set,
// when the owner or the template is bad.
Opened Open(HINSTANCE module, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param, bool modal) {
  Opened o;
  o.badOwner = owner != nullptr && Find(owner) == nullptr;
  if (o.badOwner) return Fail(ERROR_INVALID_WINDOW_HANDLE, o);
  DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  const wr::DialogTemplate* t = wr::IsProgram(module) ? wr::FindDialog(name, &error) : nullptr;
  if (t == nullptr) return Fail(error, o);
  o.templateStyle = t->style;
  o.handle = Create(*t, owner, proc, modal);
  if (proc != nullptr) proc(o.handle, WM_INITDIALOG, FirstTabStop(o.handle), param);
  return o;
}

Window* Control(HWND dialog, int id) {
  Window* d = Find(dialog);
  if (d == nullptr) return Fail<Window*>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  for (HWND c : d->controls) {
    if (Find(c)->controlId == id) return Find(c);
  }
  return Fail<Window*>(ERROR_CONTROL_ID_NOT_FOUND, nullptr);
}

int CopyText(const std::wstring& text, LPWSTR out, int room) {
  if (out == nullptr || room <= 0) return 0;
  int n = std::min<int>(static_cast<int>(text.size()), room - 1);
  std::copy_n(text.begin(), n, out);
  out[n] = L'\0';
  return n;
}

}  // namespace

INT_PTR DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                        DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  Opened o = Open(hInstance, lpTemplateName, hWndParent, lpDialogFunc, dwInitParam, true);
  if (o.handle == nullptr) return o.badOwner ? 0 : -1;
  HWND h = o.handle;
  Window* w = Find(h);
  if (w == nullptr) return 0;  // the procedure destroyed it
  if (!w->ended) {
    SetVisible(h, true);
    wu::ProgramFault("DialogBoxParamW",
                     "the dialog is open after WM_INITDIALOG and would wait for a user");
  }
  INT_PTR result = w->result;
  Destroy(h);
  return result;
}

HWND CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                        DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  Opened o = Open(hInstance, lpTemplateName, hWndParent, lpDialogFunc, dwInitParam, false);
  if (o.handle != nullptr && Find(o.handle) != nullptr && (o.templateStyle & WS_VISIBLE)) {
    SetVisible(o.handle, true);
  }
  return o.handle;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
  Window* w = Find(hDlg);
  if (w == nullptr || !w->dialog) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (!w->modal) wu::ProgramFault("EndDialog", "called for a modeless dialog");
  w->ended = true;
  w->result = nResult;
  SetVisible(hDlg, false);
  return TRUE;
}

BOOL DestroyWindow(HWND hWnd) {
  if (Find(hWnd) == nullptr) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  Destroy(hWnd);
  return TRUE;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
  Window* w = Find(hWnd);
  if (w == nullptr) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  BOOL was = (w->style & WS_VISIBLE) != 0;
  SetVisible(hWnd, nCmdShow != SW_HIDE);
  return was;
}

BOOL IsWindow(HWND hWnd) { return Find(hWnd) != nullptr; }

BOOL IsWindowVisible(HWND hWnd) { return Visible(hWnd); }

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Window* c = Control(hDlg, nIDDlgItem);
  if (c == nullptr) return nullptr;
  for (HWND h : Find(hDlg)->controls) {
    if (Find(h) == c) return h;
  }
  return nullptr;
}

BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  Window* c = Control(hDlg, nIDDlgItem);
  if (c == nullptr) return FALSE;
  c->text = lpString ? lpString : L"";
  return TRUE;
}

UINT GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  Window* c = Control(hDlg, nIDDlgItem);
  if (c == nullptr) {
    CopyText(L"", lpString, cchMax);
    return 0;
  }
  return static_cast<UINT>(CopyText(c->text, lpString, cchMax));
}

BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  Window* w = Find(hWnd);
  if (w == nullptr) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  w->text = lpString ? lpString : L"";
  return TRUE;
}

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  Window* w = Find(hWnd);
  if (w == nullptr) return Fail<int>(ERROR_INVALID_WINDOW_HANDLE, 0);
  return CopyText(w->text, lpString, nMaxCount);
}

namespace winsim::user {

std::vector<DialogRecord> Dialogs() { return Screen().dialogs; }

}  // namespace winsim::user
