// Directory queries, full path names and PathCombineW.
#include "winsim/user/paths.h"

#include <cstring>
#include <vector>

#include "winsim/machine/settings.h"
#include "winsim/user/errors.h"
#include "winsim/user/run_state.h"
#include "winsim/user/strings.h"

namespace {

struct Directories {
  std::wstring current = L"C:\\Windows\\System32";
  std::wstring temp = L"C:\\Windows\\Temp\\";
};

Directories& Dirs() { return winsim::user::PerRun<Directories>("directories"); }

// The buffer protocol of the directory queries: the length without the
// terminator when it fits, else the size needed with it.
DWORD Report(const std::wstring& text, LPWSTR buffer, DWORD size) {
  auto length = static_cast<DWORD>(text.size());
  if (buffer == nullptr || size <= length) return length + 1;
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return length;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool HasDrive(const std::wstring& p) {
  return p.size() >= 2 && p[1] == L':' &&
         ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z'));
}

// Splits off the root ("C:\", "C:", "\\server\share\", "\" or nothing).
std::wstring RootOf(const std::wstring& p) {
  if (HasDrive(p)) return p.size() > 2 && IsSeparator(p[2]) ? p.substr(0, 3) : p.substr(0, 2);
  if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
    size_t server = p.find_first_of(L"\\/", 2);
    size_t share = server == std::wstring::npos ? server : p.find_first_of(L"\\/", server + 1);
    return share == std::wstring::npos ? p : p.substr(0, share + 1);
  }
  if (!p.empty() && IsSeparator(p[0])) return p.substr(0, 1);
  return {};
}

// Resolves "." and ".." after the root; ".." never climbs above it.
// `dropEmpty` also folds repeated separators, as full path names do.
std::wstring Canonical(const std::wstring& path, bool dropEmpty) {
  std::wstring root = RootOf(path);
  std::vector<std::wstring> parts;
  std::wstring part;
  bool trailing = false;
  for (size_t i = root.size(); i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) {
      part += path[i];
      continue;
    }
    trailing = i == path.size() && part.empty() && i > root.size();
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != L"." && !(part.empty() && (dropEmpty || i == path.size()))) {
      parts.push_back(part);
    }
    part.clear();
  }
  std::wstring out = root;
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? L"\\" : L"") + parts[i];
  if (trailing && !parts.empty()) out += L'\\';
  return out;
}

}  // namespace

namespace winsim::user {

std::wstring FullPath(const std::wstring& path) {
  if (path.empty()) return {};
  if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) return path;
  const std::wstring& cwd = Dirs().current;
  bool drive = HasDrive(path);
  bool driveRoot = drive && path.size() > 2 && IsSeparator(path[2]);
  bool network = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
  std::wstring absolute;
  if (driveRoot || network) {
    absolute = path;
  } else if (drive) {
    // "C:name" is relative to that drive's current directory; only the
    // current drive has one here, the others start at their root.
    bool sameDrive = HasDrive(cwd) && FoldCase(path[0]) == FoldCase(cwd[0]);
    std::wstring base = sameDrive ? cwd : path.substr(0, 2) + L"\\";
    absolute = path.size() == 2 ? base : base + L"\\" + path.substr(2);
  } else if (IsSeparator(path[0])) {
    absolute = cwd.substr(0, 2) + path;  // the root of the current drive
  } else {
    absolute = cwd + L"\\" + path;
  }
  return Canonical(absolute, true);
}

}  // namespace winsim::user

namespace winsim::machine {

void SetCurrentDirectory(const std::wstring& path) { Dirs().current = path; }
void SetTempPath(const std::wstring& path) { Dirs().temp = path; }

}  // namespace winsim::machine

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Report(L"C:\\Windows", lpBuffer, uSize);
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  return Report(L"C:\\Windows\\System32", lpBuffer, uSize);
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  return Report(Dirs().current, lpBuffer, nBufferLength);
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  return Report(Dirs().temp, lpBuffer, nBufferLength);
}

DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart) {
  if (lpFileName == nullptr || *lpFileName == L'\0') {
    SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
    return 0;
  }
  std::wstring full = winsim::user::FullPath(lpFileName);
  DWORD result = Report(full, lpBuffer, nBufferLength);
  if (result == full.size() && lpFilePart != nullptr) {
    size_t slash = full.find_last_of(L'\\');
    bool noName = slash == std::wstring::npos || slash + 1 == full.size();
    *lpFilePart = noName ? nullptr : lpBuffer + slash + 1;
  }
  return result;
}

LPWSTR PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
  if (pszDest == nullptr) return nullptr;
  std::wstring dir = pszDir != nullptr ? pszDir : L"";
  std::wstring file = pszFile != nullptr ? pszFile : L"";
  if (pszDir == nullptr && pszFile == nullptr) {
    *pszDest = L'\0';
    return nullptr;
  }
  std::wstring joined;
  if (file.empty()) {
    joined = dir;
  } else if (dir.empty() || HasDrive(file) || file.rfind(L"\\\\", 0) == 0) {
    joined = file;
  } else if (file[0] == L'\\') {
    std::wstring root = RootOf(dir);
    if (!root.empty() && root.back() == L'\\') root.pop_back();
    joined = root + file;
  } else {
    joined = dir + (dir.back() == L'\\' ? L"" : L"\\") + file;
  }
  std::wstring result = Canonical(joined, false);
  if (result.empty()) result = L"\\";
  if (result.size() >= MAX_PATH) {
    *pszDest = L'\0';
    return nullptr;
  }
  std::memcpy(pszDest, result.c_str(), (result.size() + 1) * sizeof(WCHAR));
  return pszDest;
}
