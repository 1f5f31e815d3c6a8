// "dp_add" and "dp_delete": an INF copied into the driver store, and an
// installed OEM INF uninstalled by its file name.
#include "devcommands/driver_packages.h"

#include "devcommands/commands.h"
#include "devcommands/devcommands.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

constexpr DWORD MSG_BAD_PATH = 61113;
constexpr DWORD MSG_ADD_FAILED = 61114;
constexpr DWORD MSG_ADDED = 61115;  // name in the store
constexpr DWORD MSG_DELETE_FAILED = 61116;
constexpr DWORD MSG_IN_USE = 61117;
constexpr DWORD MSG_NOT_OEM_INF = 61118;
constexpr DWORD MSG_DELETED = 61119;  // file name

using UninstallOemInf = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);

DWORD DeleteFailureMessage(DWORD error) {
  switch (error) {
    case ERROR_INF_IN_USE_BY_DEVICES:
      return MSG_IN_USE;
    case ERROR_NOT_AN_INSTALLED_OEM_INF:
      return MSG_NOT_OEM_INF;
    default:
      return MSG_DELETE_FAILED;
  }
}

}  // namespace

SetupApiFunction::SetupApiFunction(const char* name) {
  library_ = LoadLibraryW(L"setupapi.dll");
  if (library_ == nullptr) return;
  function_ = GetProcAddress(library_, name);
  if (function_ == nullptr) {
    FreeLibrary(library_);
    library_ = nullptr;
  }
}

SetupApiFunction::~SetupApiFunction() {
  if (library_ != nullptr) FreeLibrary(library_);
}

int DpDeleteCommand(const WCHAR*, const WCHAR*, DWORD flags, int argc, const WCHAR* const* args) {
  if (argc < 1) return RESULT_BAD_USAGE;
  WCHAR path[kPathChars];
  WCHAR* fileName = nullptr;
  DWORD length = GetFullPathNameW(args[0], kPathChars, path, &fileName);
  // Only the file name goes on: the platform finds the INF in its own store.
  if (length == 0 || length >= kPathChars || fileName == nullptr || *fileName == L'\0') {
    PrintMessage(stdout, MSG_BAD_PATH);
    return RESULT_FAILURE;
  }
  SetupApiFunction uninstall("SetupUninstallOEMInfW");
  if (!uninstall.Available()) return RESULT_FAILURE;
  DWORD uninstallFlags = (flags & COMMAND_FLAG_FORCE) ? SUOI_FORCEDELETE : 0;
  if (uninstall.As<UninstallOemInf>()(fileName, uninstallFlags, nullptr)) {
    PrintMessage(stdout, MSG_DELETED, fileName);
    return RESULT_SUCCESS;
  }
  PrintMessage(stdout, DeleteFailureMessage(GetLastError()));
  return RESULT_FAILURE;
}

int DpAddCommand(const WCHAR*, const WCHAR*, DWORD, int argc, const WCHAR* const* args) {
  if (argc < 1) return RESULT_BAD_USAGE;
  WCHAR path[kPathChars];
  DWORD length = GetFullPathNameW(args[0], kPathChars, path, nullptr);
  if (length == 0 || length >= kPathChars) {
    PrintMessage(stdout, MSG_BAD_PATH);
    return RESULT_FAILURE;
  }
  WCHAR destination[kPathChars];
  PWSTR destinationName = nullptr;
  if (!SetupCopyOEMInfW(path, nullptr, SPOST_PATH, 0, destination, kPathChars, nullptr,
                        &destinationName)) {
    PrintMessage(stdout, MSG_ADD_FAILED);
    return RESULT_FAILURE;
  }
  PrintMessage(stdout, MSG_ADDED, destinationName != nullptr ? destinationName : destination);
  return RESULT_SUCCESS;
}

}  // namespace devcommands
