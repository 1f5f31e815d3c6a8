// Setup class lookups: GUIDs by class name, the list of installed classes,
// and a class's name and description.
#include "winsim/user/devicedb.h"
#include "winsim/user/setupapi_internal.h"

namespace db = winsim::user::devicedb;
using namespace winsim::user::setupapi;

BOOL SetupDiClassGuidsFromNameExW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                  PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  db::UseMachine();
  if (ClassName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!LocalMachineArguments(MachineName, Reserved)) return FALSE;
  // No class of that name is an answer, not an error: zero GUIDs.
  return CopyGuids(db::ClassesNamed(ClassName), ClassGuidList, ClassGuidListSize, RequiredSize);
}

BOOL SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                PDWORD RequiredSize) {
  return SetupDiClassGuidsFromNameExW(ClassName, ClassGuidList, ClassGuidListSize, RequiredSize,
                                      nullptr, nullptr);
}

BOOL SetupDiBuildClassInfoListExW(DWORD Flags, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                  PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  db::UseMachine();
  if (Flags & ~(DIBCI_NOINSTALLCLASS | DIBCI_NODISPLAYCLASS)) return Fail(ERROR_INVALID_FLAGS);
  if (!LocalMachineArguments(MachineName, Reserved)) return FALSE;
  std::vector<GUID> listed;
  for (const GUID& guid : db::SetupClasses()) {
    winsim::registry::Key* key = db::ClassKey(guid);
    if ((Flags & DIBCI_NOINSTALLCLASS) && winsim::registry::GetValue(key, L"NoInstallClass")) {
      continue;
    }
    if ((Flags & DIBCI_NODISPLAYCLASS) && winsim::registry::GetValue(key, L"NoDisplayClass")) {
      continue;
    }
    listed.push_back(guid);
  }
  return CopyGuids(listed, ClassGuidList, ClassGuidListSize, RequiredSize);
}

BOOL SetupDiClassNameFromGuidExW(const GUID* ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                                 PDWORD RequiredSize, PCWSTR MachineName, PVOID Reserved) {
  db::UseMachine();
  if (ClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!LocalMachineArguments(MachineName, Reserved)) return FALSE;
  std::wstring name;
  if (!db::ClassName(*ClassGuid, &name)) return Fail(ERROR_INVALID_CLASS);
  return CopyText(name, ClassName, ClassNameSize, RequiredSize);
}

BOOL SetupDiGetClassDescriptionExW(const GUID* ClassGuid, PWSTR ClassDescription,
                                   DWORD ClassDescriptionSize, PDWORD RequiredSize,
                                   PCWSTR MachineName, PVOID Reserved) {
  db::UseMachine();
  if (ClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!LocalMachineArguments(MachineName, Reserved)) return FALSE;
  // The key's default value; a class without one is described by its name.
  std::wstring text;
  bool described = db::ReadString(db::ClassKey(*ClassGuid), L"", &text) && !text.empty();
  if (!described && !db::ClassName(*ClassGuid, &text)) return Fail(ERROR_INVALID_CLASS);
  return CopyText(text, ClassDescription, ClassDescriptionSize, RequiredSize);
}
