// The program's resources in the host build: tables that tools/resgen
// writes from the program's .rc and .mc files and that LoadStringW,
// FormatMessageW and the dialog functions serve. Each generated source
// registers one image; the program's module is every image linked into the
// binary, as the windows build links every compiled resource script into the
// one .exe.
#pragma once
#include <cstddef>
#include <vector>

#include "winsim/user/types.h"

namespace winsim::user::resources {

// One string of a STRINGTABLE. `text` points into the strings of its
// language laid end to end, so, as in a real image, it is not terminated.
struct StringEntry {
  UINT id;
  WORD language;
  const WCHAR* text;
  UINT length;
};

// One message of a message table, as the message compiler stores it (each
// line with the break it has in the .mc file).
struct MessageEntry {
  DWORD id;
  WORD language;
  const WCHAR* text;
};

struct DialogControl {
  const WCHAR* className;  // "BUTTON", "EDIT", "STATIC", ...
  const WCHAR* text;
  DWORD id;  // 0xFFFF (DIALOG) or 0xFFFFFFFF (DIALOGEX) for -1
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
};

struct DialogTemplate {
  UINT id;            // when name is null
  const WCHAR* name;  // a template named by a string
  WORD language;
  bool extended;  // DIALOGEX
  DWORD style;
  DWORD exStyle;
  short x, y, cx, cy;
  const WCHAR* caption;
  const WCHAR* fontName;  // null without FONT
  WORD fontSize;
  const DialogControl* controls;
  size_t controlCount;
};

struct Image {
  const char* source;  // which .rc/.mc it was made from, for messages
  const StringEntry* strings;
  size_t stringCount;
  const MessageEntry* messages;
  size_t messageCount;
  const DialogTemplate* dialogs;
  size_t dialogCount;
};

// Generated sources hold one of these at namespace scope.
struct Registration {
  explicit Registration(const Image& image);
};

// Every registered image, in registration order.
const std::vector<const Image*>& Images();

}  // namespace winsim::user::resources
