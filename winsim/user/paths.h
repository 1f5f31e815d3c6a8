// Where things are on the machine and how paths are put together: the
// Windows, system, current and temporary directories, full path names and
// the shell's PathCombineW.
#pragma once
#include <string>

#include "winsim/user/types.h"

#define MAX_PATH 260

// Each returns the length written, without the terminator, or, when the
// buffer is too small, the size needed including it.
UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);  // C:\Windows
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);   // C:\Windows\System32
DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);  // ends with a backslash

// Makes a path absolute against the current directory and resolves "." and
// ".."; the file need not exist. *lpFilePart points at the last component,
// or is NULL when the path ends with a backslash.
DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart);

// Joins with exactly one backslash and canonicalizes "." and "..". A NULL
// or empty part leaves the other; a pszFile with a drive or a leading "\\"
// replaces pszDir, one with a single leading "\" goes to pszDir's root. A
// result that does not fit MAX_PATH fails: NULL, and pszDest emptied.
LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile);

namespace winsim::user {

// The full path of `path` as GetFullPathNameW gives it; empty for an empty
// path.
std::wstring FullPath(const std::wstring& path);

}  // namespace winsim::user
