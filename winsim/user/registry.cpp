// The Reg functions over the machine's registry store. A key handle carries
// the access granted when it was opened; each function checks the right it
// needs, as the system does, and a key the store denies cannot be opened for
// that right at all.
#include "winsim/user/registry.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "winsim/kernel/registry_store.h"
#include "winsim/user/errors.h"
#include "winsim/user/objects.h"

namespace reg = winsim::registry;
using winsim::user::ObjectType;

namespace {

struct KeyObject : winsim::user::Object {
  KeyObject(reg::Key* k, ACCESS_MASK a) : key(k), access(a) {}
  reg::Key* key;
  ACCESS_MASK access;
};

struct Predefined {
  HKEY handle;
  const wchar_t* path;  // below \Registry
};

const Predefined kPredefined[] = {
    {HKEY_CLASSES_ROOT, L"Machine\\Software\\Classes"},
    {HKEY_CURRENT_USER, L"User\\.DEFAULT"},
    {HKEY_LOCAL_MACHINE, L"Machine"},
};

ACCESS_MASK Granted(REGSAM desired) {
  ACCESS_MASK access = desired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  if (access & (GENERIC_READ | GENERIC_EXECUTE)) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  return access & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

// The key behind a handle, when the handle was opened with `needed`.
LSTATUS Resolve(HKEY hKey, ACCESS_MASK needed, reg::Key** key) {
  for (const Predefined& p : kPredefined) {
    if (p.handle == hKey) {
      // The predefined keys are open for everything an administrator may do.
      *key = reg::Create(reg::Root(), p.path);
      return ERROR_SUCCESS;
    }
  }
  auto* open = winsim::user::Find<KeyObject>(hKey, ObjectType::kKey);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  if ((open->access & needed) != needed) return ERROR_ACCESS_DENIED;
  if (reg::IsDeleted(open->key)) return ERROR_KEY_DELETED;
  *key = open->key;
  return ERROR_SUCCESS;
}

LSTATUS OpenHandle(reg::Key* key, REGSAM desired, PHKEY result) {
  ACCESS_MASK access = Granted(desired);
  if (reg::DeniedAccess(key) & access) return ERROR_ACCESS_DENIED;
  reg::NoteOpened(key);
  *result = static_cast<HKEY>(
      winsim::user::InsertObject(ObjectType::kKey, std::make_unique<KeyObject>(key, access)));
  return ERROR_SUCCESS;
}

std::wstring NameOf(LPCWSTR name) { return name != nullptr ? name : L""; }

// Copies a name into a buffer of *chars characters (terminator included);
// on success *chars becomes its length without the terminator.
LSTATUS CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD chars) {
  if (*chars <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Copies value data into lpData when it fits; *lpcbData always ends with
// the size of the data.
LSTATUS CopyData(const reg::Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = v.type;
  auto size = static_cast<DWORD>(v.data.size());
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  LSTATUS result = ERROR_SUCCESS;
  if (lpData != nullptr) {
    if (*lpcbData < size) {
      result = ERROR_MORE_DATA;
    } else if (size != 0) {
      std::memcpy(lpData, v.data.data(), size);
    }
  }
  *lpcbData = size;
  return result;
}

// The class of every key is empty.
LSTATUS EmptyClass(LPWSTR lpClass, LPDWORD lpcchClass) {
  if (lpClass == nullptr) {
    if (lpcchClass != nullptr) *lpcchClass = 0;
    return ERROR_SUCCESS;
  }
  if (lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
  if (*lpcchClass < 1) return ERROR_MORE_DATA;
  lpClass[0] = L'\0';
  *lpcchClass = 0;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  reg::Key* base;
  LSTATUS status = Resolve(hKey, 0, &base);
  if (status != ERROR_SUCCESS) return status;
  reg::Key* key = reg::Open(base, NameOf(lpSubKey));
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  return OpenHandle(key, samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                        LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  reg::Key* base;
  LSTATUS status = Resolve(hKey, 0, &base);
  if (status != ERROR_SUCCESS) return status;
  reg::Key* key = reg::Open(base, lpSubKey);
  bool created = false;
  if (key == nullptr) {
    // Creating needs the right to add subkeys on the handle given.
    status = Resolve(hKey, KEY_CREATE_SUB_KEY, &base);
    if (status != ERROR_SUCCESS) return status;
    if (reg::DeniedAccess(base) & KEY_CREATE_SUB_KEY) return ERROR_ACCESS_DENIED;
    key = reg::Create(base, lpSubKey, &created);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  }
  status = OpenHandle(key, samDesired, phkResult);
  if (status == ERROR_SUCCESS && lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return status;
}

LSTATUS RegCloseKey(HKEY hKey) {
  for (const Predefined& p : kPredefined) {
    if (p.handle == hKey) return ERROR_SUCCESS;
  }
  auto* open = winsim::user::Find<KeyObject>(hKey, ObjectType::kKey);
  if (open == nullptr) return ERROR_INVALID_HANDLE;
  reg::NoteClosed(open->key);
  winsim::user::RemoveObject(hKey, ObjectType::kKey);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  const reg::Value* v = reg::GetValue(key, NameOf(lpValueName));
  if (v == nullptr) return ERROR_FILE_NOT_FOUND;
  return CopyData(*v, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  // Stored as given: a string written without its terminator is read back
  // without one, as on the real system.
  reg::SetValue(key, NameOf(lpValueName), dwType, lpData, cbData);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  return reg::DeleteValue(key, NameOf(lpValueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  reg::Key* base;
  LSTATUS status = Resolve(hKey, 0, &base);
  if (status != ERROR_SUCCESS) return status;
  reg::Key* key = reg::Open(base, lpSubKey);
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  // The key is opened for DELETE first; a key with subkeys cannot go.
  if (reg::DeniedAccess(key) & DELETE) return ERROR_ACCESS_DENIED;
  return reg::DeleteKey(key) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::wstring> names = reg::SubkeyNames(key);
  if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
  status = CopyName(names[dwIndex], lpName, lpcchName);
  if (status != ERROR_SUCCESS) return status;
  status = EmptyClass(lpClass, lpcchClass);
  if (status == ERROR_SUCCESS && lpftLastWriteTime != nullptr) {
    *lpftLastWriteTime = winsim::user::MachineFileTime();
  }
  return status;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  const std::vector<reg::Value>& values = reg::Values(key);
  if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
  const reg::Value& v = values[dwIndex];
  status = CopyName(v.name, lpValueName, lpcchValueName);
  if (status != ERROR_SUCCESS) return status;
  return CopyData(v, lpType, lpData, lpcbData);
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  reg::Key* key;
  LSTATUS status = Resolve(hKey, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = EmptyClass(lpClass, lpcchClass);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::wstring> names = reg::SubkeyNames(key);
  const std::vector<reg::Value>& values = reg::Values(key);
  DWORD maxSubkey = 0, maxName = 0, maxData = 0;
  for (const std::wstring& n : names) maxSubkey = std::max(maxSubkey, DWORD(n.size()));
  for (const reg::Value& v : values) {
    maxName = std::max(maxName, DWORD(v.name.size()));
    maxData = std::max(maxData, DWORD(v.data.size()));
  }
  // Despite the "cb" in their names, the name lengths are in characters,
  // without the terminator; the data length is in bytes.
  auto set = [](LPDWORD out, DWORD value) {
    if (out != nullptr) *out = value;
  };
  set(lpcSubKeys, static_cast<DWORD>(names.size()));
  set(lpcbMaxSubKeyLen, maxSubkey);
  set(lpcbMaxClassLen, 0);
  set(lpcValues, static_cast<DWORD>(values.size()));
  set(lpcbMaxValueNameLen, maxName);
  set(lpcbMaxValueLen, maxData);
  set(lpcbSecurityDescriptor, 0);  // security descriptors are not modelled
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = winsim::user::MachineFileTime();
  return ERROR_SUCCESS;
}
