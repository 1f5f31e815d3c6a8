// The INF file format as SetupAPI reads it: sections (same-named ones
// merged), lines with an optional key, comma-separated fields, quoting,
// %strkey% substitution from [Strings], comments and line continuation.
// Internal to winsim/user; the Setup* functions in inf.h are built on it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "winsim/host/text.h"
#include "winsim/user/types.h"

namespace winsim::user::inf {

struct Line {
  bool hasKey = false;
  std::wstring key;  // empty unless hasKey
  std::vector<std::wstring> fields;
  UINT sourceLine = 0;  // 1-based, where the (possibly continued) line starts
};

struct Section {
  std::wstring name;
  std::vector<Line> lines;
};

struct File {
  std::vector<Section> sections;
};

struct ParseResult {
  DWORD error = 0;  // ERROR_SUCCESS or one of the INF syntax errors
  UINT errorLine = 0;
};

// Text of an INF file: UTF-16LE when it starts with the byte order mark,
// otherwise ANSI (read as Latin-1; the stand-in has no code pages).
std::wstring DecodeText(std::string_view bytes);

// Parses decoded text. `language` picks a [Strings.<langid>] section (four
// hex digits) before the plain [Strings] for substitution.
ParseResult Parse(std::wstring_view text, WORD language, File* out);

// Case-insensitive, as every name in an INF is.
using winsim::text::SameNoCase;
const Section* FindSection(const File& file, std::wstring_view name);

// Whether [Version] carries a Windows 4 signature ("$Windows NT$",
// "$Chicago$" or "$Windows 95$").
bool HasWin4Signature(const File& file);

}  // namespace winsim::user::inf
