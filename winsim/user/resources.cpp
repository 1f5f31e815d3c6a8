// The program's resource images and the language choice over them.
#include "winsim/user/resources.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <set>

#include "winsim/kernel/sim.h"
#include "winsim/user/errors.h"
#include "winsim/user/inf_parser.h"
#include "winsim/user/resource_lookup.h"

namespace winsim::user {
namespace {

constexpr LANGID kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// Any distinct non-null value serves; this one is where a Windows x64
// program's image is usually based.
HINSTANCE const kProgramInstance = reinterpret_cast<HINSTANCE>(ULONG_PTR{0x140000000});

LANGID g_uiLanguage = kEnglishUs;
std::set<UINT> g_hiddenStrings;

}  // namespace

HINSTANCE ProgramInstance() { return kProgramInstance; }

LANGID UserUILanguage() { return g_uiLanguage; }

void SetUserUILanguage(LANGID language) {
  kernel::RegisterRunState(
      "user interface language", [] { g_uiLanguage = kEnglishUs; }, [] { return LONG{0}; });
  g_uiLanguage = language;
}

void HideString(UINT id) {
  kernel::RegisterRunState(
      "hidden strings", [] { g_hiddenStrings.clear(); }, [] { return LONG{0}; });
  g_hiddenStrings.insert(id);
}

}  // namespace winsim::user

namespace winsim::user::resources {
namespace {

std::vector<const Image*>& Registry() {
  static std::vector<const Image*> images;
  return images;
}

[[noreturn]] void Duplicate(const Image& a, const Image& b, const char* what, DWORD id,
                            WORD language) {
  std::fprintf(stderr, "winsim resources: %s %lu (language %u) is in both %s and %s\n", what,
               static_cast<unsigned long>(id), language, a.source, b.source);
  std::abort();
}

// Two images linked into one program must not define the same resource:
// the linker of the windows build would reject it too.
void CheckDistinct(const Image& added, const Image& other) {
  for (size_t i = 0; i < added.stringCount; ++i) {
    for (size_t j = 0; j < other.stringCount; ++j) {
      const StringEntry &a = added.strings[i], &b = other.strings[j];
      if (a.id / 16 == b.id / 16 && a.language == b.language) {
        Duplicate(added, other, "string table block of string", a.id, a.language);
      }
    }
  }
  if (added.messageCount != 0 && other.messageCount != 0) {
    Duplicate(added, other, "message table", 1, added.messages[0].language);
  }
  for (size_t i = 0; i < added.dialogCount; ++i) {
    for (size_t j = 0; j < other.dialogCount; ++j) {
      const DialogTemplate &a = added.dialogs[i], &b = other.dialogs[j];
      bool sameName =
          a.name ? (b.name && inf::SameNoCase(a.name, b.name)) : (!b.name && a.id == b.id);
      if (sameName && a.language == b.language) Duplicate(added, other, "dialog", a.id, a.language);
    }
  }
}

// Languages in the order FindResource tries them, then `present` in
// ascending order as the last resort.
WORD PickLanguage(const std::set<WORD>& present) {
  LANGID ui = UserUILanguage();
  for (WORD l : {ui, static_cast<WORD>(PRIMARYLANGID(ui)), static_cast<WORD>(LANG_NEUTRAL),
                 static_cast<WORD>(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
                 static_cast<WORD>(LANG_ENGLISH)}) {
    if (present.count(l)) return l;
  }
  return *present.begin();
}

}  // namespace

Registration::Registration(const Image& image) {
  for (const Image* other : Registry()) CheckDistinct(image, *other);
  Registry().push_back(&image);
}

const std::vector<const Image*>& Images() { return Registry(); }

bool IsProgram(HMODULE module) { return module == nullptr || module == ProgramInstance(); }

const StringEntry* FindString(UINT id, DWORD* error) {
  // Strings are stored in blocks of 16; the language is chosen per block.
  std::set<WORD> languages;
  bool anyTable = false;
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->stringCount; ++i) {
      anyTable = true;
      if (image->strings[i].id / 16 == id / 16) languages.insert(image->strings[i].language);
    }
  }
  if (languages.empty()) {
    *error = anyTable ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  WORD language = PickLanguage(languages);
  *error = ERROR_SUCCESS;
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->stringCount; ++i) {
      const StringEntry& s = image->strings[i];
      if (s.id == id && s.language == language && !g_hiddenStrings.count(id)) return &s;
    }
  }
  return nullptr;  // in the block, but empty
}

const DialogTemplate* FindDialog(LPCWSTR name, DWORD* error) {
  auto matches = [name](const DialogTemplate& d) {
    if (IS_INTRESOURCE(name)) return d.name == nullptr && d.id == reinterpret_cast<ULONG_PTR>(name);
    return d.name != nullptr && inf::SameNoCase(d.name, name);
  };
  std::set<WORD> languages;
  bool anyDialog = false;
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->dialogCount; ++i) {
      anyDialog = true;
      if (matches(image->dialogs[i])) languages.insert(image->dialogs[i].language);
    }
  }
  if (languages.empty()) {
    *error = anyDialog ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  WORD language = PickLanguage(languages);
  *error = ERROR_SUCCESS;
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->dialogCount; ++i) {
      const DialogTemplate& d = image->dialogs[i];
      if (matches(d) && d.language == language) return &d;
    }
  }
  return nullptr;
}

const MessageEntry* FindMessage(DWORD id, DWORD language, DWORD* error) {
  std::set<WORD> languages;
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->messageCount; ++i) languages.insert(image->messages[i].language);
  }
  if (languages.empty()) {
    *error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  std::vector<WORD> order;
  if (language != 0) {
    order = {static_cast<WORD>(language)};
  } else {
    // The thread's and the system's language are the user's here.
    order = {LANG_NEUTRAL, UserUILanguage(), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
  }
  auto chosen =
      std::find_if(order.begin(), order.end(), [&](WORD l) { return languages.count(l); });
  if (chosen == order.end()) {
    *error = ERROR_RESOURCE_LANG_NOT_FOUND;
    return nullptr;
  }
  for (const Image* image : Images()) {
    for (size_t i = 0; i < image->messageCount; ++i) {
      const MessageEntry& m = image->messages[i];
      if (m.id == id && m.language == *chosen) {
        *error = ERROR_SUCCESS;
        return &m;
      }
    }
  }
  *error = ERROR_MR_MID_NOT_FOUND;
  return nullptr;
}

}  // namespace winsim::user::resources

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  namespace wr = winsim::user::resources;
  if (lpBuffer == nullptr || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  const wr::StringEntry* s = wr::IsProgram(hInstance) ? wr::FindString(uID, &error) : nullptr;
  if (cchBufferMax == 0) {
    // The documented form: a pointer to the resource's own text.
    *reinterpret_cast<const WCHAR**>(lpBuffer) = s ? s->text : nullptr;
  } else {
    int n = s ? std::min<int>(static_cast<int>(s->length), cchBufferMax - 1) : 0;
    if (s) std::wmemcpy(lpBuffer, s->text, n);
    lpBuffer[n] = L'\0';
  }
  if (s == nullptr) {
    SetLastError(error == ERROR_SUCCESS ? ERROR_RESOURCE_NAME_NOT_FOUND : error);
    return 0;
  }
  return cchBufferMax == 0 ? static_cast<int>(s->length)
                           : std::min<int>(static_cast<int>(s->length), cchBufferMax - 1);
}

LANGID GetUserDefaultUILanguage(void) { return winsim::user::UserUILanguage(); }

LANGID GetSystemDefaultUILanguage(void) { return winsim::user::UserUILanguage(); }
