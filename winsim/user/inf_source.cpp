// INF file lookup over the machine's file tree.
#include "winsim/user/inf_source.h"

#include <cstdint>
#include <vector>

#include "winsim/machine/files.h"
#include "winsim/user/errors.h"
#include "winsim/user/paths.h"

namespace winsim::user::inf {
namespace {

DWORD ReadPath(const std::wstring& path, std::string* bytes) {
  std::vector<uint8_t> data;
  DWORD error = machine::ReadWholeFile(path, &data);
  if (error == ERROR_SUCCESS) bytes->assign(data.begin(), data.end());
  return error;
}

std::wstring WindowsDirectory() {
  WCHAR buffer[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, n < MAX_PATH ? n : 0);
}

}  // namespace

DWORD ReadInfFile(const std::wstring& name, std::string* bytes, std::wstring* path) {
  std::wstring found;
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (name.find_first_of(L"\\/:") != std::wstring::npos) {
    found = FullPath(name);
    error = ReadPath(found, bytes);
  } else {
    std::wstring windows = WindowsDirectory();
    for (const wchar_t* dir : {L"\\inf\\", L"\\system32\\"}) {
      found = windows + dir + name;
      error = ReadPath(found, bytes);
      if (error == ERROR_SUCCESS) break;
    }
  }
  if (error == ERROR_SUCCESS && path != nullptr) *path = found;
  return error;
}

}  // namespace winsim::user::inf
