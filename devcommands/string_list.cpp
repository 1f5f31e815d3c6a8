#include "devcommands/string_list.h"

#include <cstdlib>
#include <cwchar>

namespace devcommands {

StringList StringListFromMultiSz(WCHAR* multiSz) {
  size_t count = 0;
  for (const WCHAR* s = multiSz; *s != L'\0'; s += wcslen(s) + 1) ++count;

  auto slots = static_cast<WCHAR**>(malloc((count + 2) * sizeof(WCHAR*)));
  if (slots == nullptr) return nullptr;
  slots[0] = multiSz;
  WCHAR* s = multiSz;
  for (size_t i = 1; i <= count; ++i, s += wcslen(s) + 1) slots[i] = s;
  slots[count + 1] = nullptr;
  return slots + 1;
}

void FreeStringList(StringList list) {
  if (list == nullptr) return;
  free(list[-1]);
  free(list - 1);
}

}  // namespace devcommands
