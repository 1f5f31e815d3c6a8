// The host side of the machine's file tree: the per-run directory that
// plays C:\, names resolved without regard to case, and the attributes the
// host cannot keep (read-only, hidden, ...), kept beside it. Internal to
// winsim/user; tests use winsim/machine/files.h.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "winsim/user/types.h"

namespace winsim::user::sandbox {

namespace fs = std::filesystem;

// The host directory that plays C:\ in this run (made on first use).
const fs::path& Root();

struct Place {
  fs::path host;        // where the file is or would be
  bool exists = false;  // a file or directory is there
  bool directory = false;
};

// Finds a full Win32 path ("C:\dir\name", as FullPath gives it) in the tree.
// ERROR_SUCCESS with the place, whether or not the last component exists;
// ERROR_PATH_NOT_FOUND when a directory on the way is missing or is a file,
// or the drive is not C:; ERROR_BAD_NETPATH for network paths;
// ERROR_INVALID_NAME for a character no name may hold.
DWORD Locate(const std::wstring& fullPath, Place* place);

struct Entry {
  std::wstring name;
  DWORD attributes;  // as GetFileAttributesW reports them
  ULONGLONG size;
};

// A directory's entries, sorted by upper-cased name as NTFS lists them.
std::vector<Entry> List(const fs::path& directory);

DWORD AttributesOf(const fs::path& host);
// Keeps the settable attributes; FILE_ATTRIBUTE_NORMAL alone clears them.
void SetAttributes(const fs::path& host, DWORD attributes);
void Forget(const fs::path& host);  // the file is gone

std::wstring WideName(const fs::path& p);  // the last component
fs::path HostName(const std::wstring& name);

}  // namespace winsim::user::sandbox
