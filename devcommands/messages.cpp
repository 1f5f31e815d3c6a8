// Catalogue messages from the hosting module's own message table.
#include "devcommands/messages.h"

#include <cstdarg>
#include <cwchar>

namespace devcommands {

void PrintMessage(FILE* stream, DWORD id, ...) {
  va_list inserts;
  va_start(inserts, id);
  LPWSTR text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                nullptr, id, 0, reinterpret_cast<LPWSTR>(&text), 0, &inserts);
  va_end(inserts);
  if (length == 0 || text == nullptr) return;

  DWORD end = length;
  while (end > 0 && (text[end - 1] == L'\r' || text[end - 1] == L'\n')) --end;
  if (end < length) {
    // At least one character was stripped, so the line feed fits.
    text[end++] = L'\n';
    text[end] = L'\0';
  }
  fputws(text, stream);
  LocalFree(text);
}

void PrintIndent(int level) {
  for (int i = 0; i < level; ++i) fputws(L"    ", stdout);
}

}  // namespace devcommands
