// FormatMessageW's expansion of a message definition: inserts (%1 to %99,
// with an optional !printf format!, !s! by default), %0, %n, %r, %t, %%,
// "% ", "%." and "%!". Internal to winsim/user.
#pragma once
#include <cstdarg>
#include <string>
#include <string_view>

#include "winsim/user/types.h"

namespace winsim::user::messages {

struct Inserts {
  va_list* list = nullptr;           // read in order, each as its format says
  const DWORD_PTR* array = nullptr;  // FORMAT_MESSAGE_ARGUMENT_ARRAY
  bool ignore = false;               // FORMAT_MESSAGE_IGNORE_INSERTS: copied as written
};

// `maxWidth` is the low byte of the flags: 0 keeps the definition's line
// breaks, FORMAT_MESSAGE_MAX_WIDTH_MASK turns them into blanks (hard breaks
// from %n stay). ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a malformed
// insert or inserts without arguments.
DWORD Expand(std::wstring_view pattern, DWORD maxWidth, const Inserts& inserts, std::wstring* out);

}  // namespace winsim::user::messages
