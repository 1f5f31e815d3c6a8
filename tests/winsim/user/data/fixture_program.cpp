// The windows build's use of the resource fixture: the message symbols the
// message compiler wrote, a string and a message from the program's own
// resources, and the hidden dialog.
#include "fixture.h"
#include "fixture_resource.h"
#include "platform/win32.h"

namespace {

INT_PTR CALLBACK MainProc(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  ShowWindow(dialog, SW_HIDE);
  EndDialog(dialog, 0);
  return TRUE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WCHAR text[256];
  LoadStringW(instance, IDS_ERROR, text, 256);
  LPWSTR message = nullptr;
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(text)};
  if (FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                         FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     nullptr, MSG_USAGE, 0, reinterpret_cast<LPWSTR>(&message), 0,
                     reinterpret_cast<va_list*>(inserts)) != 0) {
    LocalFree(message);
  }
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainProc, 0);
  return 0;
}
