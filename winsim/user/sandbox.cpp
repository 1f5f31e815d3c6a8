// The machine's file tree on the host: a directory made for each run under
// the host's temporary directory and removed after the run. The host file
// system is case-sensitive and has no read-only or hidden flags of the
// Windows kind, so names are matched here and attributes kept here.
#include "winsim/user/sandbox.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <system_error>

#include "winsim/host/scheduler.h"
#include "winsim/machine/files.h"
#include "winsim/user/errors.h"
#include "winsim/user/files.h"
#include "winsim/user/run_state.h"
#include "winsim/user/strings.h"

namespace winsim::user::sandbox {
namespace {

constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

const wchar_t* const kInitialDirectories[] = {
    L"Windows", L"Windows/System32", L"Windows/System32/drivers", L"Windows/INF", L"Windows/Temp"};

struct Tree {
  fs::path root;
  std::map<fs::path, DWORD> attributes;  // what is set, by host path

  Tree() = default;
  Tree(const Tree&) = delete;
  Tree& operator=(Tree&& other) noexcept {
    Remove();
    root = std::move(other.root);
    attributes = std::move(other.attributes);
    other.root.clear();
    return *this;
  }
  ~Tree() { Remove(); }

  void Remove() {
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
    root.clear();
  }
};

Tree& State() { return PerRun<Tree>("file tree"); }

fs::path TempDirectory() {
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp ? tmp : "/tmp";
}

// A run the verifier stops ends the process without unwinding, leaving its
// drive behind; the drives of processes that are gone are swept here.
void SweepAbandonedDrives(const fs::path& tmp) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(tmp, ec)) {
    std::string name = e.path().filename().string();
    int pid = 0;
    if (sscanf(name.c_str(), "winsim-c-%d-", &pid) != 1 || pid <= 0) continue;
    if (kill(pid, 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
  }
}

fs::path MakeRoot() {
  fs::path tmp = TempDirectory();
  SweepAbandonedDrives(tmp);
  std::string pattern = (tmp / ("winsim-c-" + std::to_string(getpid()) + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) host::Fail("winsim: cannot make the machine's C: drive");
  fs::path root = pattern;
  for (const wchar_t* dir : kInitialDirectories) fs::create_directories(root / HostName(dir));
  return root;
}

bool BadNameCharacter(wchar_t c) {
  return c < 32 || std::wstring_view(L"<>:\"|?*/").find(c) != std::wstring_view::npos;
}

// The existing entry of `dir` whose name equals `name` without regard to case.
fs::path Child(const fs::path& dir, const std::wstring& name) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
    if (SameNoCase(WideName(e.path()), name)) return e.path();
  }
  return dir / HostName(name);
}

}  // namespace

const fs::path& Root() {
  Tree& tree = State();
  if (tree.root.empty()) tree.root = MakeRoot();
  return tree.root;
}

std::wstring WideName(const fs::path& p) {
  std::u32string name = p.filename().u32string();
  return std::wstring(name.begin(), name.end());
}

fs::path HostName(const std::wstring& name) {
  return fs::path(std::u32string(name.begin(), name.end()));
}

DWORD Locate(const std::wstring& fullPath, Place* place) {
  std::wstring path = fullPath;
  if (path.rfind(L"\\\\?\\", 0) == 0) path = path.substr(4);
  if (path.rfind(L"\\\\", 0) == 0) return ERROR_BAD_NETPATH;
  if (path.size() < 3 || FoldCase(path[0]) != L'C' || path[1] != L':' || path[2] != L'\\') {
    return ERROR_PATH_NOT_FOUND;
  }
  fs::path at = Root();
  std::wstring rest = path.substr(3);
  bool isDirectory = true;
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find(L'\\', start);
    std::wstring name = rest.substr(start, end == std::wstring::npos ? end : end - start);
    if (std::any_of(name.begin(), name.end(), BadNameCharacter)) return ERROR_INVALID_NAME;
    if (!isDirectory) return ERROR_PATH_NOT_FOUND;
    if (!name.empty()) at = Child(at, name);
    std::error_code ec;
    isDirectory = fs::is_directory(at, ec);
    bool last = end == std::wstring::npos || end + 1 == rest.size();
    if (!last && !fs::exists(at, ec)) return ERROR_PATH_NOT_FOUND;
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  std::error_code ec;
  place->host = at;
  place->exists = fs::exists(at, ec);
  place->directory = place->exists && fs::is_directory(at, ec);
  return ERROR_SUCCESS;
}

std::vector<Entry> List(const fs::path& directory) {
  std::vector<Entry> entries;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(directory, ec)) {
    ULONGLONG size = e.is_regular_file(ec) ? e.file_size(ec) : 0;
    entries.push_back({WideName(e.path()), AttributesOf(e.path()), size});
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return Folded(a.name) < Folded(b.name); });
  return entries;
}

DWORD AttributesOf(const fs::path& host) {
  const auto& set = State().attributes;
  auto it = set.find(host);
  DWORD attributes = it == set.end() ? 0 : it->second;
  std::error_code ec;
  if (fs::is_directory(host, ec)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

void SetAttributes(const fs::path& host, DWORD attributes) {
  State().attributes[host] = attributes & kSettable;
}

void Forget(const fs::path& host) { State().attributes.erase(host); }

}  // namespace winsim::user::sandbox

namespace winsim::machine {

namespace sb = winsim::user::sandbox;
namespace fs = std::filesystem;

namespace {

// A path of the tree for a test's set-up; a path no program could reach is
// the test's mistake.
sb::Place Reach(const std::wstring& path) {
  sb::Place place;
  if (sb::Locate(winsim::user::FullPath(path), &place) != ERROR_SUCCESS) {
    std::string narrow(path.begin(), path.end());
    host::Fail("winsim: no such place on the machine's C: drive: " + narrow);
  }
  return place;
}

// Makes every missing directory on the way to `path`.
sb::Place MakeParents(const std::wstring& path) {
  std::wstring full = winsim::user::FullPath(path);
  for (size_t slash = full.find(L'\\', 3); slash != std::wstring::npos;
       slash = full.find(L'\\', slash + 1)) {
    sb::Place dir = Reach(full.substr(0, slash));
    if (!dir.exists) fs::create_directory(dir.host);
  }
  return Reach(full);
}

}  // namespace

void PutFile(const std::wstring& path, std::string_view bytes, DWORD attributes) {
  sb::Place place = MakeParents(path);
  FILE* f = fopen(place.host.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    host::Fail("winsim: cannot write " + place.host.string());
  }
  fclose(f);
  sb::SetAttributes(place.host, attributes);
}

void PutDirectory(const std::wstring& path) {
  sb::Place place = MakeParents(path);
  if (!place.exists) fs::create_directory(place.host);
}

bool FileExists(const std::wstring& path) {
  sb::Place place;
  return sb::Locate(winsim::user::FullPath(path), &place) == ERROR_SUCCESS && place.exists;
}

std::vector<std::wstring> ListDirectory(const std::wstring& path) {
  sb::Place place;
  std::vector<std::wstring> names;
  if (sb::Locate(winsim::user::FullPath(path), &place) != ERROR_SUCCESS || !place.directory) {
    return names;
  }
  for (const sb::Entry& e : sb::List(place.host)) names.push_back(e.name);
  return names;
}

}  // namespace winsim::machine
