// FormatMessageW: where the definition comes from, then the output buffer.
#include <algorithm>
#include <cwchar>

#include "winsim/user/errors.h"
#include "winsim/user/fault.h"
#include "winsim/user/localmem.h"
#include "winsim/user/message_inserts.h"
#include "winsim/user/resource_lookup.h"
#include "winsim/user/resources.h"
#include "winsim/user/system_messages.h"

namespace {

namespace wr = winsim::user::resources;

constexpr DWORD kSources =
    FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;

// The message definition, or nullptr with *error set.
const WCHAR* Definition(DWORD flags, LPCVOID source, DWORD id, DWORD language, DWORD* error) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    *error = source ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    return static_cast<const WCHAR*>(source);
  }
  *error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    // Modules other than the program carry no message table here.
    if (wr::IsProgram(static_cast<HMODULE>(const_cast<void*>(source)))) {
      const wr::MessageEntry* m = wr::FindMessage(id, language, error);
      if (m != nullptr) return m->text;
    }
  }
  if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    // The system's table is US English only.
    if (language != 0 && language != MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)) {
      *error = ERROR_RESOURCE_LANG_NOT_FOUND;
      return nullptr;
    }
    const WCHAR* text = winsim::user::messages::SystemMessage(id);
    *error = text ? ERROR_SUCCESS : ERROR_MR_MID_NOT_FOUND;
    return text;
  }
  return nullptr;
}

DWORD Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  DWORD sources = dwFlags & kSources;
  if (lpBuffer == nullptr || sources == 0 ||
      ((sources & FORMAT_MESSAGE_FROM_STRING) && sources != FORMAT_MESSAGE_FROM_STRING)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) {
    winsim::user::ProgramFault("FormatMessageW", "line wrapping at a width is not modelled");
  }
  DWORD error = ERROR_SUCCESS;
  const WCHAR* definition = Definition(dwFlags, lpSource, dwMessageId, dwLanguageId, &error);
  if (definition == nullptr) return Fail(error);

  winsim::user::messages::Inserts inserts;
  inserts.ignore = (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  if (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
    inserts.array = reinterpret_cast<const DWORD_PTR*>(Arguments);
  } else {
    inserts.list = Arguments;
  }
  std::wstring text;
  error = winsim::user::messages::Expand(definition, width, inserts, &text);
  if (error != ERROR_SUCCESS) return Fail(error);

  DWORD length = static_cast<DWORD>(text.size());
  LPWSTR out = lpBuffer;
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    size_t chars = std::max<size_t>(length + 1, nSize);
    out = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, chars * sizeof(WCHAR)));
    if (out == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    *reinterpret_cast<LPWSTR*>(lpBuffer) = out;
  } else if (nSize < length + 1) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::wmemcpy(out, text.data(), length);
  out[length] = L'\0';
  return length;
}
