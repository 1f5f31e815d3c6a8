// String and message resources of the program: LoadStringW over its string
// tables and FormatMessageW over its message table, the system's messages or
// a string. A resource is taken in the language the platform would pick for
// the user's interface language (a machine setting, 1033 or 1041), falling
// back to US English. The program's module handle is ProgramInstance();
// NULL means the program too.
#pragma once
#include <cstdarg>

#include "winsim/user/types.h"

struct HINSTANCE__;
typedef HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef WORD LANGID;

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid)&0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define LANG_JAPANESE 0x11
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_JAPANESE_JAPAN 0x01

#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

// The string's length in characters. cchBufferMax 0: *lpBuffer becomes a
// read-only pointer to the resource's text, which is not terminated. A
// string too long for the buffer is cut to cchBufferMax - 1 characters. 0
// when the string is missing or empty.
int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// Characters stored, terminator not counted, or 0 with the last error set.
// FORMAT_MESSAGE_ALLOCATE_BUFFER: lpBuffer is an LPWSTR* that receives a
// LocalAlloc'ed buffer for LocalFree. Inserts come from *Arguments, or from
// an array of DWORD_PTR with FORMAT_MESSAGE_ARGUMENT_ARRAY. Line widths other
// than 0 and FORMAT_MESSAGE_MAX_WIDTH_MASK are not modelled.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, va_list *Arguments);

LANGID GetUserDefaultUILanguage(void);
LANGID GetSystemDefaultUILanguage(void);

namespace winsim::user {

// The program image's module handle (what its entry point receives).
HINSTANCE ProgramInstance();

// The user's interface language, 1033 unless a scenario sets it; kept until
// the run ends.
LANGID UserUILanguage();
void SetUserUILanguage(LANGID language);

// Takes string `id` out of the program's tables until the run ends, as a
// build that lacks it would be (the rest of its block stays).
void HideString(UINT id);

}  // namespace winsim::user
