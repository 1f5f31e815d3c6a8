#include "winsim/kernel/registry_store.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>

#include "winsim/host/text.h"

namespace winsim::registry {

struct Key {
  std::wstring name;
  Key* parent = nullptr;
  std::vector<std::unique_ptr<Key>> subkeys;
  std::map<std::wstring, Key*> byFoldedName;  // subkeys by upper-cased name
  std::vector<Value> values;
  bool deleted = false;
  ACCESS_MASK denied = 0;
};

namespace {

std::unique_ptr<Key> g_root;
std::vector<std::unique_ptr<Key>> g_tombstones;
LONG g_openKeys = 0;

std::vector<std::wstring> Split(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

// By name, without regard to case; a tree with thousands of device
// instances under one key must not cost a scan per lookup.
Key* Child(const Key* key, const std::wstring& name) {
  auto it = key->byFoldedName.find(text::Folded(name));
  return it == key->byFoldedName.end() ? nullptr : it->second;
}

void EnsureRoot() {
  if (g_root) return;
  g_root = std::make_unique<Key>();
  g_root->name = L"Registry";
  for (const wchar_t* path : {L"Machine\\System\\CurrentControlSet\\Services",
                              L"Machine\\System\\CurrentControlSet\\Enum",
                              L"Machine\\System\\CurrentControlSet\\Control\\Class",
                              L"Machine\\System\\CurrentControlSet\\Control\\DeviceClasses",
                              L"Machine\\Hardware\\DeviceMap", L"Machine\\Software", L"User"}) {
    Create(g_root.get(), path);
  }
}

std::vector<uint8_t> Bytes(const void* data, size_t size) {
  auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + size);
}

}  // namespace

Key* Root() {
  EnsureRoot();
  return g_root.get();
}

Key* Find(const std::wstring& absolutePath) {
  std::vector<std::wstring> parts = Split(absolutePath);
  if (parts.empty() || !text::SameNoCase(parts[0], L"Registry")) return nullptr;
  std::wstring rest;
  for (size_t i = 1; i < parts.size(); ++i) rest += L"\\" + parts[i];
  return Open(Root(), rest);
}

Key* Open(Key* base, const std::wstring& relativePath) {
  Key* key = base;
  for (const std::wstring& part : Split(relativePath)) {
    if (key == nullptr || key->deleted) return nullptr;
    key = Child(key, part);
  }
  return key != nullptr && !key->deleted ? key : nullptr;
}

Key* Create(Key* base, const std::wstring& relativePath, bool* created) {
  if (created) *created = false;
  Key* key = base;
  if (key == nullptr || key->deleted) return nullptr;
  for (const std::wstring& part : Split(relativePath)) {
    Key* next = Child(key, part);
    if (next == nullptr) {
      auto k = std::make_unique<Key>();
      k->name = part;
      k->parent = key;
      next = k.get();
      key->byFoldedName[text::Folded(part)] = next;
      key->subkeys.push_back(std::move(k));
      if (created) *created = true;
    }
    key = next;
  }
  return key;
}

bool IsDeleted(const Key* key) { return key->deleted; }

bool DeleteKey(Key* key) {
  if (key->deleted || key->parent == nullptr || !key->subkeys.empty()) return false;
  auto& siblings = key->parent->subkeys;
  auto it = std::find_if(siblings.begin(), siblings.end(),
                         [&](const std::unique_ptr<Key>& k) { return k.get() == key; });
  key->deleted = true;
  key->parent->byFoldedName.erase(text::Folded(key->name));
  g_tombstones.push_back(std::move(*it));
  siblings.erase(it);
  return true;
}

std::wstring PathOf(const Key* key) {
  std::wstring path;
  for (const Key* k = key; k != nullptr; k = k->parent) path = L"\\" + k->name + path;
  return path;
}

const Value* GetValue(const Key* key, const std::wstring& name) {
  for (const Value& v : key->values) {
    if (text::SameNoCase(v.name, name)) return &v;
  }
  return nullptr;
}

void SetValue(Key* key, const std::wstring& name, ULONG type, const void* data, size_t size) {
  for (Value& v : key->values) {
    if (text::SameNoCase(v.name, name)) {
      v.type = type;
      v.data = Bytes(data, size);
      return;
    }
  }
  key->values.push_back(Value{name, type, Bytes(data, size)});
}

bool DeleteValue(Key* key, const std::wstring& name) {
  auto it = std::find_if(key->values.begin(), key->values.end(),
                         [&](const Value& v) { return text::SameNoCase(v.name, name); });
  if (it == key->values.end()) return false;
  key->values.erase(it);
  return true;
}

// Windows keeps a key's subkeys sorted by their upper-cased names, so both
// the kernel's and the programs' enumerations list them in that order.
std::vector<std::wstring> SubkeyNames(const Key* key) {
  std::vector<std::wstring> names;
  for (const auto& k : key->subkeys) names.push_back(k->name);
  std::sort(names.begin(), names.end(), text::NoCaseLess());
  return names;
}

const std::vector<Value>& Values(const Key* key) { return key->values; }

void DenyAccess(Key* key, ACCESS_MASK rights) { key->denied |= rights; }
ACCESS_MASK DeniedAccess(const Key* key) { return key->denied; }

void SetString(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text,
               ULONG type) {
  Key* key = Create(Root(), keyPath.substr(std::wcslen(L"\\Registry")));
  SetValue(key, name, type, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

void SetDword(const std::wstring& keyPath, const std::wstring& name, ULONG value) {
  Key* key = Create(Root(), keyPath.substr(std::wcslen(L"\\Registry")));
  SetValue(key, name, 4 /* REG_DWORD */, &value, sizeof value);
}

void SetMultiString(const std::wstring& keyPath, const std::wstring& name,
                    const std::vector<std::wstring>& strings) {
  std::wstring joined;
  for (const std::wstring& s : strings) joined += s + L'\0';
  joined += L'\0';
  Key* key = Create(Root(), keyPath.substr(std::wcslen(L"\\Registry")));
  SetValue(key, name, 7 /* REG_MULTI_SZ */, joined.data(), joined.size() * sizeof(WCHAR));
}

bool GetString(const std::wstring& keyPath, const std::wstring& name, std::wstring* text) {
  Key* key = Find(keyPath);
  const Value* v = key ? GetValue(key, name) : nullptr;
  if (v == nullptr || (v->type != 1 && v->type != 2)) return false;
  size_t chars = v->data.size() / sizeof(WCHAR);
  text->assign(reinterpret_cast<const WCHAR*>(v->data.data()), chars);
  while (!text->empty() && text->back() == L'\0') text->pop_back();
  return true;
}

void NoteOpened(Key*) { ++g_openKeys; }
void NoteClosed(Key*) { --g_openKeys; }
LONG OpenKeyCount() { return g_openKeys; }

void Reset() {
  g_root.reset();
  g_tombstones.clear();
  g_openKeys = 0;
}

}  // namespace winsim::registry
