// StringList: the strings of a multi-string value as a null-terminated array
// of pointers into the value's own buffer. The slot before the first entry
// holds that buffer and owns it; the list is the address of the first entry.
#pragma once
#include "platform/win32.h"

namespace devcommands {

using StringList = WCHAR**;

// Takes ownership of `multiSz` (malloc'ed, ending in an empty string) and
// lists its strings. Null when memory runs out; `multiSz` is then still the
// caller's.
StringList StringListFromMultiSz(WCHAR* multiSz);

// Frees the buffer and the array; null does nothing.
void FreeStringList(StringList list);

}  // namespace devcommands
