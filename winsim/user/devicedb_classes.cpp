// Setup classes: the Control\Class\{GUID} keys, their "Class" names, and the
// standard classes every machine starts with. GUID text in the registry form.
#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "winsim/user/devicedb.h"

namespace winsim::user::devicedb {
namespace {

const wchar_t kClassPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

struct StandardClass {
  GUID guid;
  const wchar_t* name;
  const wchar_t* description;
};

const StandardClass kStandardClasses[] = {
    {{0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"Ports", L"Ports (COM & LPT)"},
    {{0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}},
     L"USB", L"Universal Serial Bus controllers"},
    {{0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"System", L"System devices"},
    {{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}},
     L"HIDClass", L"Human Interface Devices"},
    {{0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}},
     L"Net", L"Network adapters"},
    {{0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}},
     L"Image", L"Imaging devices"},
};

}  // namespace

bool ReadString(registry::Key* key, const std::wstring& name, std::wstring* text) {
  const registry::Value* v = key ? registry::GetValue(key, name) : nullptr;
  if (v == nullptr || (v->type != 1 && v->type != 2)) return false;  // REG_SZ, REG_EXPAND_SZ
  text->assign(reinterpret_cast<const WCHAR*>(v->data.data()), v->data.size() / sizeof(WCHAR));
  *text = text->substr(0, text->find(L'\0'));
  return true;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

std::wstring GuidText(const GUID& g) {
  wchar_t text[39];
  std::swprintf(text, 39, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(const std::wstring& text, GUID* guid) {
  // Braces, 8-4-4-4-12 hex digits; nothing else is a GUID key name.
  static const char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (text.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool ok = kShape[i] == 'x' ? std::iswxdigit(text[i]) != 0 : text[i] == wchar_t(kShape[i]);
    if (!ok) return false;
  }
  auto hex = [&](size_t at, size_t n) { return std::stoul(text.substr(at, n), nullptr, 16); };
  guid->Data1 = static_cast<ULONG>(hex(1, 8));
  guid->Data2 = static_cast<USHORT>(hex(10, 4));
  guid->Data3 = static_cast<USHORT>(hex(15, 4));
  const size_t bytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<UCHAR>(hex(bytes[i], 2));
  return true;
}

std::vector<GUID> SetupClasses() {
  std::vector<GUID> guids;
  registry::Key* root = registry::Find(kClassPath);
  if (root == nullptr) return guids;
  for (const std::wstring& name : registry::SubkeyNames(root)) {
    GUID guid;
    if (ParseGuid(name, &guid)) guids.push_back(guid);
  }
  return guids;
}

registry::Key* ClassKey(const GUID& guid) {
  return registry::Find(std::wstring(kClassPath) + L"\\" + GuidText(guid));
}

bool ClassName(const GUID& guid, std::wstring* name) {
  return ReadString(ClassKey(guid), L"Class", name) && !name->empty();
}

std::vector<GUID> ClassesNamed(const std::wstring& name) {
  std::vector<GUID> found;
  for (const GUID& guid : SetupClasses()) {
    std::wstring className;
    if (ClassName(guid, &className) && SameText(className, name)) found.push_back(guid);
  }
  return found;
}

void SeedClasses() {
  for (const StandardClass& c : kStandardClasses) {
    std::wstring path = std::wstring(kClassPath) + L"\\" + GuidText(c.guid);
    registry::SetString(path, L"Class", c.name);
    registry::SetString(path, L"", c.description);
  }
}

}  // namespace winsim::user::devicedb
