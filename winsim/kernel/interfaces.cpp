// Device interfaces: registered per physical device and class, enabled as a
// symbolic link to the physical device object.
#include <cstring>
#include <cwctype>

#include "winsim/host/text.h"
#include "winsim/kernel/guid_text.h"
#include "winsim/kernel/internal.h"
#include "winsim/kernel/pnp.h"

namespace winsim::kernel {

std::wstring NameOfDevice(PDEVICE_OBJECT device);
std::wstring CanonicalLink(const std::wstring& name);
NTSTATUS CreateLink(const std::wstring& link, const std::wstring& target);
NTSTATUS DeleteLink(const std::wstring& link);

namespace {

struct Interface {
  GUID guid;
  std::wstring link;  // "\??\USB#VID_...#serial#{guid}[\ref]", as handed out
  size_t baseLength;  // the part that is a symbolic link; "\ref" reaches the driver
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

std::vector<Interface> g_interfaces;

Interface* Find(const std::wstring& link) {
  for (Interface& i : g_interfaces) {
    if (text::SameNoCase(i.link, link)) return &i;
  }
  return nullptr;
}

}  // namespace

// Interfaces that differ only in their reference string share one link.
std::wstring Base(const Interface& i) { return i.link.substr(0, i.baseLength); }

bool BaseInUse(const Interface& i) {
  for (const Interface& other : g_interfaces) {
    if (other.enabled && Base(other) == Base(i)) return true;
  }
  return false;
}

NTSTATUS EnableLink(Interface& i) {
  if (!BaseInUse(i)) {
    NTSTATUS status = CreateLink(Base(i), NameOfDevice(i.pdo));
    if (!NT_SUCCESS(status)) return status;
  }
  i.enabled = true;
  return STATUS_SUCCESS;
}

void DisableLink(Interface& i) {
  i.enabled = false;
  if (!BaseInUse(i)) DeleteLink(Base(i));
}

std::vector<std::wstring> InterfaceLinks(const GUID& guid, bool enabledOnly) {
  std::vector<std::wstring> links;
  for (const Interface& i : g_interfaces) {
    if (std::memcmp(&i.guid, &guid, sizeof guid) == 0 && (i.enabled || !enabledOnly)) {
      links.push_back(i.link);
    }
  }
  return links;
}

// The PnP manager disables what a removed device left enabled, as Windows does.
void DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  for (Interface& i : g_interfaces) {
    if (i.pdo == pdo && i.enabled) DisableLink(i);
  }
}

void ResetInterfaces() { g_interfaces.clear(); }

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost("IoRegisterDeviceInterface", PASSIVE_LEVEL);
  const DeviceNode* node = nullptr;
  for (DeviceNode* n : DeviceNodes()) {
    if (PhysicalDeviceOf(n) == PhysicalDeviceObject) node = n;
  }
  if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::wstring link = L"\\??\\" + InstanceId(node) + L"#" + winsim::GuidText(*InterfaceClassGuid);
  for (wchar_t& c : link) {
    if (&c > &link[3] && c == L'\\') c = L'#';
  }
  size_t baseLength = link.size();
  if (ReferenceString != nullptr && ReferenceString->Length != 0) {
    link += L"\\" + std::wstring(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
  }
  if (Find(link) == nullptr) {
    g_interfaces.push_back({*InterfaceClassGuid, link, baseLength, PhysicalDeviceObject});
  }
  auto bytes = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  auto* buffer = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x20206F49 /* "Io  " */));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.c_str(), bytes + sizeof(WCHAR));
  *SymbolicLinkName = {bytes, static_cast<USHORT>(bytes + sizeof(WCHAR)), buffer};
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrqlAtMost("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  Interface* i =
      Find(std::wstring(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)));
  if (i == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable) {
    if (i->enabled) return STATUS_OBJECT_NAME_EXISTS;
    return EnableLink(*i);
  }
  if (!i->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
  DisableLink(*i);
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  *UnicodeString = {0, 0, nullptr};
}
