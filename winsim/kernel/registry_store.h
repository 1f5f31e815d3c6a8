// The machine's registry as data: one tree of keys and values that the
// kernel's Zw/Rtl routines and the programs' Reg functions both work on.
// Paths are absolute from "\Registry" (e.g. "\Registry\Machine\System").
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/kernel/registry_store.h is for the stand-in, not for drivers"
#endif

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/kernel/wdk/ntdef.h"

namespace winsim::registry {

struct Key;

struct Value {
  std::wstring name;
  ULONG type = 0;
  std::vector<uint8_t> data;
};

// Keys are never freed during a run: a deleted key stays as a tombstone so
// handles to it keep failing cleanly.
Key* Root();
Key* Find(const std::wstring& absolutePath);
Key* Open(Key* base, const std::wstring& relativePath);
Key* Create(Key* base, const std::wstring& relativePath, bool* created = nullptr);
bool IsDeleted(const Key* key);
// Fails (false) while the key has subkeys.
bool DeleteKey(Key* key);
std::wstring PathOf(const Key* key);

const Value* GetValue(const Key* key, const std::wstring& name);
void SetValue(Key* key, const std::wstring& name, ULONG type, const void* data, size_t size);
bool DeleteValue(Key* key, const std::wstring& name);
std::vector<std::wstring> SubkeyNames(const Key* key);
const std::vector<Value>& Values(const Key* key);

// Access a test can take away: a key that denies reading or writing.
void DenyAccess(Key* key, ACCESS_MASK rights);
ACCESS_MASK DeniedAccess(const Key* key);

// Convenience for tests and the machine: strings and numbers by path.
void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text,
               ULONG type = 1 /* REG_SZ */);
void SetDword(const std::wstring& keyPath, const std::wstring& name, ULONG value);
void SetMultiString(const std::wstring& keyPath, const std::wstring& name,
                    const std::vector<std::wstring>& strings);
bool GetString(const std::wstring& keyPath, const std::wstring& name, std::wstring* text);

// Keys that are open (kernel or program handles), for the end-of-run check.
void NoteOpened(Key* key);
void NoteClosed(Key* key);
LONG OpenKeyCount();

void Reset();

}  // namespace winsim::registry
