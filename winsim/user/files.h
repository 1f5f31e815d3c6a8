// Files on the machine's drive C: searching, attributes, deletion, and
// opening a file to read it. Paths may be relative to the current directory.
#pragma once
#include "winsim/user/filetime.h"
#include "winsim/user/paths.h"
#include "winsim/user/types.h"

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_OFFLINE 0x00001000
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];  // no short names are made: always empty
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

// "*" matches any run of characters and "?" exactly one, without regard to
// case, in the last component only; "*.*" matches every name. Entries come
// in the order NTFS keeps them (by upper-cased name), "." and ".." first in
// any directory but the root. ERROR_PATH_NOT_FOUND when the directory does
// not exist, ERROR_FILE_NOT_FOUND when nothing matches.
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);  // ERROR_NO_MORE_FILES
BOOL FindClose(HANDLE hFindFile);

DWORD GetFileAttributesW(LPCWSTR lpFileName);
BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);
// Refuses read-only files and directories (ERROR_ACCESS_DENIED) and files a
// program holds open without FILE_SHARE_DELETE (ERROR_SHARING_VIOLATION).
BOOL DeleteFileW(LPCWSTR lpFileName);

namespace winsim::user {

// For fileapi.cpp, which owns CreateFileW, ReadFile and CloseHandle and
// sends paths and handles that are not devices here. Regular files open for
// reading only (OPEN_EXISTING or OPEN_ALWAYS on an existing file, with the
// sharing rules of the system); creating or writing files is not modelled
// and fails with ERROR_NOT_SUPPORTED, except that a read-only file refuses
// write access with ERROR_ACCESS_DENIED as it would on the system.
HANDLE OpenRegularFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition);
bool IsRegularFile(HANDLE handle);
BOOL ReadRegularFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                     LPOVERLAPPED overlapped);
// Closes a token or a regular file; false when `handle` is neither.
bool CloseProgramObject(HANDLE handle);

}  // namespace winsim::user
