// The Win32 file functions over the machine's file tree.
#include "winsim/user/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "winsim/machine/files.h"
#include "winsim/user/errors.h"
#include "winsim/user/fileapi.h"
#include "winsim/user/last_error.h"
#include "winsim/user/objects.h"
#include "winsim/user/sandbox.h"
#include "winsim/user/strings.h"

namespace sb = winsim::user::sandbox;
using winsim::user::ObjectType;

namespace {

constexpr DWORD kFileAppendData = 0x0004;
constexpr DWORD kFileWriteEa = 0x0010;
constexpr DWORD kFileWriteAttributes = 0x0100;
constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | kFileAppendData |
                               kFileWriteEa | kFileWriteAttributes | DELETE;

struct FileObject : winsim::user::Object {
  FileObject(sb::fs::path h, int f, DWORD a, DWORD s)
      : host(std::move(h)), fd(f), access(a), share(s) {}
  ~FileObject() override { close(fd); }
  sb::fs::path host;
  int fd;  // held open, so the bytes stay readable after a shared delete
  DWORD access;
  DWORD share;
  ULONGLONG offset = 0;
};

struct FindObject : winsim::user::Object {
  std::vector<sb::Entry> matches;
  size_t next = 0;
};

using winsim::user::Fail;

// Sharing between the opens of one file, as the system checks it.
bool Conflicts(const sb::fs::path& host, DWORD access, DWORD share) {
  bool conflict = false;
  winsim::user::ForEachObject(ObjectType::kFile, [&](winsim::user::Object* o) {
    auto* f = static_cast<FileObject*>(o);
    if (f->host != host) return;
    if ((access & kReadRights) && !(f->share & FILE_SHARE_READ)) conflict = true;
    if ((f->access & kReadRights) && !(share & FILE_SHARE_READ)) conflict = true;
    if ((access & DELETE) && !(f->share & FILE_SHARE_DELETE)) conflict = true;
  });
  return conflict;
}

// Finds an existing file or directory by a program's path.
DWORD Existing(LPCWSTR path, sb::Place* place) {
  if (path == nullptr || *path == L'\0') return ERROR_PATH_NOT_FOUND;
  DWORD error = sb::Locate(winsim::user::FullPath(path), place);
  if (error != ERROR_SUCCESS) return error;
  return place->exists ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// "*" any run, "?" one character, compared without regard to case.
bool Matches(const wchar_t* pattern, const wchar_t* name) {
  for (; *pattern != L'\0'; ++pattern, ++name) {
    if (*pattern == L'*') {
      for (const wchar_t* rest = name;; ++rest) {
        if (Matches(pattern + 1, rest)) return true;
        if (*rest == L'\0') return false;
      }
    }
    if (*name == L'\0') return false;
    if (*pattern != L'?' && winsim::user::FoldCase(*pattern) != winsim::user::FoldCase(*name)) {
      return false;
    }
  }
  return *name == L'\0';
}

void Fill(const sb::Entry& e, LPWIN32_FIND_DATAW data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = e.attributes;
  data->ftCreationTime = data->ftLastAccessTime = data->ftLastWriteTime =
      winsim::user::MachineFileTime();
  data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(e.size);
  size_t n = std::min(e.name.size(), size_t{MAX_PATH - 1});
  std::memcpy(data->cFileName, e.name.data(), n * sizeof(WCHAR));
}

std::vector<sb::Entry> Search(const sb::Place& dir, bool isRoot, const std::wstring& pattern) {
  std::vector<sb::Entry> all;
  if (!isRoot) {
    all.push_back({L".", FILE_ATTRIBUTE_DIRECTORY, 0});
    all.push_back({L"..", FILE_ATTRIBUTE_DIRECTORY, 0});
  }
  for (sb::Entry& e : sb::List(dir.host)) all.push_back(std::move(e));
  std::vector<sb::Entry> matches;
  for (sb::Entry& e : all) {
    if (pattern == L"*.*" || Matches(pattern.c_str(), e.name.c_str())) {
      matches.push_back(std::move(e));
    }
  }
  return matches;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  std::wstring full = lpFileName != nullptr ? winsim::user::FullPath(lpFileName) : L"";
  size_t slash = full.find_last_of(L'\\');
  if (slash == std::wstring::npos) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring pattern = full.substr(slash + 1);
  std::wstring directory = full.substr(0, slash + 1);
  sb::Place dir;
  DWORD error = sb::Locate(directory, &dir);
  if (error == ERROR_SUCCESS && !dir.directory) error = ERROR_PATH_NOT_FOUND;
  std::vector<sb::Entry> matches;
  if (error == ERROR_SUCCESS) matches = Search(dir, directory.size() == 3, pattern);
  if (error == ERROR_SUCCESS && matches.empty()) error = ERROR_FILE_NOT_FOUND;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  auto find = std::make_unique<FindObject>();
  find->matches = std::move(matches);
  Fill(find->matches[0], lpFindFileData);
  find->next = 1;
  return winsim::user::InsertObject(ObjectType::kFind, std::move(find));
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto* find = winsim::user::Find<FindObject>(hFindFile, ObjectType::kFind);
  if (find == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (find->next >= find->matches.size()) return Fail(ERROR_NO_MORE_FILES);
  Fill(find->matches[find->next++], lpFindFileData);
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  return winsim::user::RemoveObject(hFindFile, ObjectType::kFind) ? TRUE
                                                                  : Fail(ERROR_INVALID_HANDLE);
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  sb::Place place;
  DWORD error = Existing(lpFileName, &place);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return sb::AttributesOf(place.host);
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  sb::Place place;
  DWORD error = Existing(lpFileName, &place);
  if (error != ERROR_SUCCESS) return Fail(error);
  sb::SetAttributes(place.host, dwFileAttributes);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  sb::Place place;
  DWORD error = Existing(lpFileName, &place);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (place.directory || (sb::AttributesOf(place.host) & FILE_ATTRIBUTE_READONLY)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (Conflicts(place.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  std::error_code ec;
  sb::fs::remove(place.host, ec);
  sb::Forget(place.host);
  return TRUE;
}

namespace winsim::user {

HANDLE OpenRegularFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition) {
  sb::Place place;
  DWORD error = Existing(path, &place);
  if (error == ERROR_SUCCESS && place.directory) error = ERROR_ACCESS_DENIED;
  bool readOnly =
      error == ERROR_SUCCESS && (sb::AttributesOf(place.host) & FILE_ATTRIBUTE_READONLY);
  if (error == ERROR_SUCCESS && (access & kWriteRights)) {
    error = readOnly ? ERROR_ACCESS_DENIED : ERROR_NOT_SUPPORTED;
  }
  if (error == ERROR_FILE_NOT_FOUND && disposition != OPEN_EXISTING) error = ERROR_NOT_SUPPORTED;
  if (error == ERROR_SUCCESS && disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
    error = ERROR_NOT_SUPPORTED;
  }
  if (error == ERROR_SUCCESS && Conflicts(place.host, access, share)) {
    error = ERROR_SHARING_VIOLATION;
  }
  int fd = error == ERROR_SUCCESS ? open(place.host.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (error == ERROR_SUCCESS && fd < 0) error = ERROR_ACCESS_DENIED;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // OPEN_ALWAYS on an existing file says so, and succeeds.
  SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return InsertObject(ObjectType::kFile,
                      std::make_unique<FileObject>(place.host, fd, access, share));
}

bool IsRegularFile(HANDLE handle) { return Find<FileObject>(handle, ObjectType::kFile) != nullptr; }

BOOL ReadRegularFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  auto* f = Find<FileObject>(handle, ObjectType::kFile);
  if (read != nullptr) *read = 0;
  if (!(f->access & kReadRights)) return Fail(ERROR_ACCESS_DENIED);
  if (read == nullptr && overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  ULONGLONG at = f->offset;
  if (overlapped != nullptr) at = (ULONGLONG{overlapped->OffsetHigh} << 32) | overlapped->Offset;
  ssize_t n = pread(f->fd, buffer, length, static_cast<off_t>(at));
  if (n < 0) return Fail(ERROR_GEN_FAILURE);
  if (overlapped != nullptr) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = static_cast<ULONG_PTR>(n);
  } else {
    f->offset = at + static_cast<ULONGLONG>(n);
  }
  if (read != nullptr) *read = static_cast<DWORD>(n);
  return TRUE;
}

bool CloseProgramObject(HANDLE handle) {
  return RemoveObject(handle, ObjectType::kFile) || RemoveObject(handle, ObjectType::kToken);
}

}  // namespace winsim::user

namespace winsim::machine {

DWORD ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* bytes) {
  // The caller's last error is its own business.
  DWORD saved = GetLastError();
  HANDLE h =
      winsim::user::OpenRegularFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  SetLastError(saved);
  if (error != ERROR_SUCCESS) return error;
  bytes->clear();
  uint8_t chunk[4096];
  DWORD n = 0;
  while (winsim::user::ReadRegularFile(h, chunk, sizeof chunk, &n, nullptr) && n != 0) {
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  winsim::user::CloseProgramObject(h);
  SetLastError(saved);
  return ERROR_SUCCESS;
}

}  // namespace winsim::machine
