// Setup classes: the Control\Class\{GUID} keys, their "Class" names, and the
// standard classes every machine starts with. GUID text in the registry form.
#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "winsim/kernel/machine_keys.h"
#include "winsim/user/devicedb.h"

namespace winsim::user::devicedb {
namespace {

struct StandardClass {
  GUID guid;
  const wchar_t* name;
  const wchar_t* description;
};

const StandardClass kStandardClasses[] = {
    {{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"Ports",
     L"Ports (COM & LPT)"},
    {{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},
     L"USB",
     L"Universal Serial Bus controllers"},
    {{0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"System",
     L"System devices"},
    {{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}},
     L"HIDClass",
     L"Human Interface Devices"},
    {{0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"Net",
     L"Network adapters"},
    {{0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},
     L"Image",
     L"Imaging devices"},
};

}  // namespace

bool ReadString(registry::Key* key, const std::wstring& name, std::wstring* text) {
  const registry::Value* v = key ? registry::GetValue(key, name) : nullptr;
  if (v == nullptr || (v->type != 1 && v->type != 2)) return false;  // REG_SZ, REG_EXPAND_SZ
  text->assign(reinterpret_cast<const WCHAR*>(v->data.data()), v->data.size() / sizeof(WCHAR));
  *text = text->substr(0, text->find(L'\0'));
  return true;
}

std::vector<GUID> SetupClasses() {
  std::vector<GUID> guids;
  registry::Key* root = registry::Find(registry::kClassKey);
  if (root == nullptr) return guids;
  for (const std::wstring& name : registry::SubkeyNames(root)) {
    GUID guid;
    if (ParseGuid(name, &guid)) guids.push_back(guid);
  }
  return guids;
}

registry::Key* ClassKey(const GUID& guid) {
  return registry::Find(registry::ClassKeyOf(GuidText(guid)));
}

bool ClassName(const GUID& guid, std::wstring* name) {
  return ReadString(ClassKey(guid), L"Class", name) && !name->empty();
}

std::vector<GUID> ClassesNamed(const std::wstring& name) {
  std::vector<GUID> found;
  for (const GUID& guid : SetupClasses()) {
    std::wstring className;
    if (ClassName(guid, &className) && SameNoCase(className, name)) found.push_back(guid);
  }
  return found;
}

void SeedClasses() {
  for (const StandardClass& c : kStandardClasses) {
    std::wstring path = registry::ClassKeyOf(GuidText(c.guid));
    registry::SetString(path, L"Class", c.name);
    registry::SetString(path, L"", c.description);
  }
}

}  // namespace winsim::user::devicedb
