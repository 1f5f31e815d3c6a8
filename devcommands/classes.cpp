// "classes": every device setup class with its description.
#include <cwchar>
#include <vector>

#include "devcommands/commands.h"
#include "devcommands/devcommands.h"
#include "devcommands/messages.h"

namespace devcommands {
namespace {

constexpr DWORD MSG_CLASSES_REMOTE = 60202;  // count, machine
constexpr DWORD MSG_CLASSES_LOCAL = 60203;   // count
constexpr DWORD kFirstRoom = 128;

// The class GUIDs of the machine; false when the list cannot be read.
bool ClassGuids(const WCHAR* machine, std::vector<GUID>* guids) {
  guids->resize(kFirstRoom);
  DWORD count = 0;
  if (SetupDiBuildClassInfoListExW(0, guids->data(), kFirstRoom, &count, machine, nullptr)) {
    guids->resize(count);
    return true;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  guids->resize(count);
  if (!SetupDiBuildClassInfoListExW(0, guids->data(), count, &count, machine, nullptr)) {
    return false;
  }
  guids->resize(count);
  return true;
}

}  // namespace

int ClassesCommand(const WCHAR*, const WCHAR* machine, DWORD, int, const WCHAR* const*) {
  std::vector<GUID> guids;
  if (!ClassGuids(machine, &guids)) return RESULT_FAILURE;
  auto count = static_cast<DWORD>(guids.size());
  if (machine != nullptr) {
    PrintMessage(stdout, MSG_CLASSES_REMOTE, count, machine);
  } else {
    PrintMessage(stdout, MSG_CLASSES_LOCAL, count);
  }
  for (const GUID& guid : guids) {
    WCHAR name[32];
    WCHAR description[256];
    if (!SetupDiClassNameFromGuidExW(&guid, name, 32, nullptr, machine, nullptr)) {
      std::wcscpy(name, L"?");
    }
    if (!SetupDiGetClassDescriptionExW(&guid, description, 256, nullptr, machine, nullptr)) {
      std::wcscpy(description, name);
    }
    std::fwprintf(stdout, L"%-20ls: %ls\n", name, description);
  }
  return RESULT_SUCCESS;
}

}  // namespace devcommands
