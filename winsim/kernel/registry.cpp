// The kernel's registry routines over the machine's registry store.
#include <cstring>
#include <cwctype>

#include "winsim/kernel/internal.h"
#include "winsim/kernel/registry_store.h"

namespace winsim::kernel {
namespace {

namespace reg = winsim::registry;

constexpr ACCESS_MASK kQueryValue = 0x0001;
constexpr ACCESS_MASK kSetValue = 0x0002;
constexpr ACCESS_MASK kEnumerateSubKeys = 0x0008;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;

int CompareNoCase(const wchar_t* a, const wchar_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    wint_t x = std::towupper(a[i]), y = std::towupper(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

struct OpenKey {
  reg::Key* key;
  ACCESS_MASK access;
};

ACCESS_MASK Granted(ACCESS_MASK desired) {
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) desired |= KEY_ALL_ACCESS;
  if (desired & GENERIC_READ) desired |= KEY_READ;
  if (desired & GENERIC_WRITE) desired |= KEY_WRITE;
  return desired;
}

std::wstring Text(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::wstring(s->Buffer, s->Length / sizeof(WCHAR));
}

void CloseKey(void* object) {
  auto* open = static_cast<OpenKey*>(object);
  reg::NoteClosed(open->key);
  delete open;
}

NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK needed, reg::Key** key) {
  const HandleEntry* entry = FindHandle(handle);
  if (entry == nullptr || entry->kind != HandleKind::kKey) return STATUS_INVALID_HANDLE;
  auto* open = static_cast<OpenKey*>(entry->object);
  if ((open->access & needed) != needed) return STATUS_ACCESS_DENIED;
  if (reg::IsDeleted(open->key)) return STATUS_KEY_DELETED;
  *key = open->key;
  return STATUS_SUCCESS;
}

// Resolves the base key and the path below it named by object attributes.
NTSTATUS BaseAndPath(POBJECT_ATTRIBUTES oa, reg::Key** base, std::wstring* path) {
  if (oa == nullptr || oa->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  *path = Text(oa->ObjectName);
  if (oa->RootDirectory != nullptr) {
    if (!path->empty() && (*path)[0] == L'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return KeyFromHandle(oa->RootDirectory, 0, base);
  }
  const std::wstring prefix = L"\\Registry";
  if (path->size() < prefix.size() ||
      CompareNoCase(path->c_str(), prefix.c_str(), prefix.size()) != 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  *base = reg::Root();
  *path = path->substr(prefix.size());
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenKeyHandle(reg::Key* key, ACCESS_MASK desired, PHANDLE handle) {
  ACCESS_MASK access = Granted(desired);
  if (reg::DeniedAccess(key) & access) return STATUS_ACCESS_DENIED;
  reg::NoteOpened(key);
  *handle = InsertHandle(HandleKind::kKey, new OpenKey{key, access}, CurrentDriver());
  return STATUS_SUCCESS;
}

void RegisterKeyCloser() { SetHandleCloser(HandleKind::kKey, CloseKey); }

NTSTATUS KeyFromHandleForRtl(HANDLE handle, reg::Key** key) {
  return KeyFromHandle(handle, 0, key);
}

}  // namespace winsim::kernel

using namespace winsim::kernel;
namespace reg = winsim::registry;

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
  RequireIrqlAtMost("ZwOpenKey", PASSIVE_LEVEL);
  reg::Key* base;
  std::wstring path;
  NTSTATUS status = BaseAndPath(ObjectAttributes, &base, &path);
  if (!NT_SUCCESS(status)) return status;
  reg::Key* key = reg::Open(base, path);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenKeyHandle(key, DesiredAccess, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                     PULONG Disposition) {
  RequireIrqlAtMost("ZwCreateKey", PASSIVE_LEVEL);
  reg::Key* base;
  std::wstring path;
  NTSTATUS status = BaseAndPath(ObjectAttributes, &base, &path);
  if (!NT_SUCCESS(status)) return status;
  bool created = false;
  reg::Key* key = reg::Open(base, path);
  if (key == nullptr) {
    if (reg::DeniedAccess(base) & 0x0004) return STATUS_ACCESS_DENIED;
    key = reg::Create(base, path, &created);
    if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return OpenKeyHandle(key, DesiredAccess, KeyHandle);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RequireIrqlAtMost("ZwQueryValueKey", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = KeyFromHandle(KeyHandle, kQueryValue, &key);
  if (!NT_SUCCESS(status)) return status;
  const reg::Value* v = reg::GetValue(key, Text(ValueName));
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto dataLength = static_cast<ULONG>(v->data.size());
  auto nameLength = static_cast<ULONG>(v->name.size() * sizeof(WCHAR));
  ULONG fixed, dataOffset = 0;
  switch (KeyValueInformationClass) {
    case KeyValuePartialInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      dataOffset = fixed;
      break;
    case KeyValueFullInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      dataOffset = (fixed + nameLength + 7) & ~7u;
      break;
    case KeyValueBasicInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  ULONG required = KeyValueInformationClass == KeyValueBasicInformation ? fixed + nameLength
                                                                        : dataOffset + dataLength;
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  *ResultLength = required;
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<PUCHAR>(KeyValueInformation);
  std::memset(out, 0, fixed);
  auto copy = [&](ULONG offset, const void* src, ULONG size) {
    if (offset >= Length) return;
    std::memcpy(out + offset, src, size < Length - offset ? size : Length - offset);
  };
  if (KeyValueInformationClass == KeyValuePartialInformation) {
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
    info->Type = v->type;
    info->DataLength = dataLength;
    copy(dataOffset, v->data.data(), dataLength);
  } else if (KeyValueInformationClass == KeyValueFullInformation) {
    auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
    info->Type = v->type;
    info->DataOffset = dataOffset;
    info->DataLength = dataLength;
    info->NameLength = nameLength;
    copy(fixed, v->name.data(), nameLength);
    copy(dataOffset, v->data.data(), dataLength);
  } else {
    auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
    info->Type = v->type;
    info->NameLength = nameLength;
    copy(fixed, v->name.data(), nameLength);
  }
  return Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  RequireIrqlAtMost("ZwSetValueKey", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = KeyFromHandle(KeyHandle, kSetValue, &key);
  if (!NT_SUCCESS(status)) return status;
  if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
  reg::SetValue(key, Text(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  RequireIrqlAtMost("ZwDeleteValueKey", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = KeyFromHandle(KeyHandle, kSetValue, &key);
  if (!NT_SUCCESS(status)) return status;
  return reg::DeleteValue(key, Text(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  RequireIrqlAtMost("ZwEnumerateKey", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = KeyFromHandle(KeyHandle, kEnumerateSubKeys, &key);
  if (!NT_SUCCESS(status)) return status;
  if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
  std::vector<std::wstring> names = reg::SubkeyNames(key);
  if (Index >= names.size()) return STATUS_NO_MORE_ENTRIES;
  auto nameLength = static_cast<ULONG>(names[Index].size() * sizeof(WCHAR));
  ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  *ResultLength = fixed + nameLength;
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
  std::memset(info, 0, fixed);
  info->NameLength = nameLength;
  ULONG room = Length - fixed;
  std::memcpy(info->Name, names[Index].data(), nameLength < room ? nameLength : room);
  return Length < fixed + nameLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

namespace winsim::kernel {
NTSTATUS KeyFromHandleForRtl(HANDLE handle, reg::Key** key);
}

static NTSTATUS RtlRegistryKey(ULONG RelativeTo, PCWSTR Path, bool create, reg::Key** key) {
  ULONG base = RelativeTo & ~RTL_REGISTRY_OPTIONAL;
  if (base & RTL_REGISTRY_HANDLE) {
    return KeyFromHandleForRtl(const_cast<PWSTR>(Path), key);
  }
  static const wchar_t* const kBases[] = {
      L"",
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
      L"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
      L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      L"\\Registry\\Machine\\Hardware\\DeviceMap",
      L"\\Registry\\User\\.Default"};
  if (base >= RTL_REGISTRY_MAXIMUM || Path == nullptr) return STATUS_INVALID_PARAMETER;
  std::wstring full = base == RTL_REGISTRY_ABSOLUTE ? std::wstring(Path)
                                                    : std::wstring(kBases[base]) + L"\\" + Path;
  if (CompareNoCase(full.c_str(), L"\\Registry", 9) != 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  reg::Key* found = create ? reg::Create(reg::Root(), full.substr(9)) : reg::Find(full);
  if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *key = found;
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
  RequireIrqlAtMost("RtlWriteRegistryValue", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = RtlRegistryKey(RelativeTo, Path, true, &key);
  if (!NT_SUCCESS(status)) return status;
  if (reg::DeniedAccess(key) & kSetValue) return STATUS_ACCESS_DENIED;
  reg::SetValue(key, ValueName ? ValueName : L"", ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  RequireIrqlAtMost("RtlDeleteRegistryValue", PASSIVE_LEVEL);
  reg::Key* key;
  NTSTATUS status = RtlRegistryKey(RelativeTo, Path, false, &key);
  if (!NT_SUCCESS(status)) return status;
  if (reg::DeniedAccess(key) & kSetValue) return STATUS_ACCESS_DENIED;
  return reg::DeleteValue(key, ValueName ? ValueName : L"") ? STATUS_SUCCESS
                                                            : STATUS_OBJECT_NAME_NOT_FOUND;
}
