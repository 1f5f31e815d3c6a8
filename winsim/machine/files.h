// The machine's file tree, seen from tests, the simulator and the rest of
// the stand-in. It is a host directory made for each run and removed after
// it; "C:\" is its root, and C:\Windows, C:\Windows\System32,
// C:\Windows\System32\drivers, C:\Windows\INF and C:\Windows\Temp exist from
// the start. Names are found without regard to case, as on the real system.
// Paths here are Windows paths; relative ones start at the current
// directory. Call these inside a run.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/machine is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/user/files.h"

namespace winsim::machine {

// Creates or replaces a file holding `bytes`, with the given attributes
// (FILE_ATTRIBUTE_READONLY, ...; 0 for none); missing directories are made.
void PutFile(const std::wstring& path, std::string_view bytes, DWORD attributes = 0);
void PutDirectory(const std::wstring& path);

bool FileExists(const std::wstring& path);  // files and directories

// The names in a directory in the order FindFirstFileW lists them, without
// "." and ".."; empty when the directory does not exist.
std::vector<std::wstring> ListDirectory(const std::wstring& path);

// Reads a whole file as a program opening it for reading would: ERROR_SUCCESS,
// or the error CreateFileW would give (ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED for a directory,
// ERROR_SHARING_VIOLATION while a program holds it without sharing reads).
DWORD ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* bytes);

}  // namespace winsim::machine
