// The INF reader. Lines are lexed into pieces that remember whether they
// were quoted, so that trimming touches only unquoted whitespace; %strkey%
// tokens are replaced once the whole file is read, because [Strings] may
// come last.
#include "winsim/user/inf_parser.h"

#include <cwctype>
#include <optional>

#include "winsim/user/errors.h"
#include "winsim/user/inf.h"

namespace winsim::user::inf {
namespace {

constexpr size_t kMaxSectionName = MAX_INF_SECTION_NAME_LENGTH;

struct Piece {
  std::wstring text;
  bool quoted;
};
using RawField = std::vector<Piece>;

struct RawLine {
  bool hasKey = false;
  RawField key;
  std::vector<RawField> fields;
  UINT sourceLine = 0;
};

struct RawSection {
  std::wstring name;
  std::vector<RawLine> lines;
};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Reads physical lines, joining those that end in an unquoted backslash.
class Lexer {
 public:
  explicit Lexer(std::wstring_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  UINT LineNumber() const { return line_; }

  // The next physical line without its line break.
  std::wstring_view NextPhysical() {
    size_t end = text_.find(L'\n', pos_);
    if (end == std::wstring_view::npos) end = text_.size();
    std::wstring_view l = text_.substr(pos_, end - pos_);
    pos_ = end + 1;
    ++line_;
    if (!l.empty() && l.back() == L'\r') l.remove_suffix(1);
    return l;
  }

  // Lexes an entry starting with `first`; continues onto further physical
  // lines while one ends in an unquoted backslash.
  RawLine Entry(std::wstring_view first, UINT number);

 private:
  std::wstring_view text_;
  size_t pos_ = 0;
  UINT line_ = 0;
};

struct EntryBuilder {
  RawLine line;
  RawField field;
  std::wstring unquoted;
  bool valueSeen = false;  // anything after '=' (or on a keyless line)

  void FlushUnquoted() {
    if (!unquoted.empty()) field.push_back({unquoted, false});
    unquoted.clear();
  }
  void EndField() {
    FlushUnquoted();
    line.fields.push_back(std::move(field));
    field.clear();
  }
  void EndKey() {
    FlushUnquoted();
    line.hasKey = true;
    line.key = std::move(field);
    field.clear();
    valueSeen = false;
  }
};

// Lexes one physical line into `b`. Returns true when the line ends in a
// continuation backslash (which is dropped).
bool LexPhysical(std::wstring_view l, EntryBuilder& b) {
  size_t i = 0;
  while (i < l.size()) {
    wchar_t c = l[i];
    if (c == L';') break;
    if (c == L'"') {
      b.FlushUnquoted();
      std::wstring q;
      for (++i; i < l.size(); ++i) {
        if (l[i] != L'"') {
          q += l[i];
        } else if (i + 1 < l.size() && l[i + 1] == L'"') {
          q += L'"';
          ++i;
        } else {
          break;
        }
      }
      b.field.push_back({q, true});
      b.valueSeen = true;
      ++i;
      continue;
    }
    if (c == L'=' && !b.line.hasKey && b.line.fields.empty()) {
      b.EndKey();
    } else if (c == L',') {
      b.EndField();
      b.valueSeen = true;
    } else {
      b.unquoted += c;
      if (!IsBlank(c)) b.valueSeen = true;
    }
    ++i;
  }
  size_t end = b.unquoted.find_last_not_of(L" \t");
  if (end != std::wstring::npos && b.unquoted[end] == L'\\') {
    b.unquoted.erase(end);
    return true;
  }
  return false;
}

RawLine Lexer::Entry(std::wstring_view first, UINT number) {
  EntryBuilder b;
  b.line.sourceLine = number;
  bool more = LexPhysical(first, b);
  while (more && !AtEnd()) more = LexPhysical(NextPhysical(), b);
  if (b.valueSeen || !b.line.fields.empty()) b.EndField();
  return std::move(b.line);
}

void TrimField(RawField& f) {
  if (!f.empty() && !f.front().quoted) {
    std::wstring& t = f.front().text;
    t.erase(0, t.find_first_not_of(L" \t"));
  }
  if (!f.empty() && !f.back().quoted) {
    std::wstring& t = f.back().text;
    size_t end = t.find_last_not_of(L" \t");
    t.erase(end == std::wstring::npos ? 0 : end + 1);
  }
}

bool IsEmptyEntry(const RawLine& l) {
  if (l.hasKey) return false;
  for (const RawField& f : l.fields) {
    for (const Piece& p : f) {
      if (p.quoted || !p.text.empty()) return false;
    }
  }
  return true;
}

// A section header: "[name]" followed by nothing but blanks or a comment.
std::optional<std::wstring> SectionName(std::wstring_view l, ParseResult* error, UINT number) {
  size_t close = l.find(L']');
  if (close == std::wstring_view::npos) {
    *error = {ERROR_BAD_SECTION_NAME_LINE, number};
    return std::nullopt;
  }
  std::wstring_view rest = l.substr(close + 1);
  size_t tail = rest.find_first_not_of(L" \t");
  if (tail != std::wstring_view::npos && rest[tail] != L';') {
    *error = {ERROR_BAD_SECTION_NAME_LINE, number};
    return std::nullopt;
  }
  std::wstring name(l.substr(1, close - 1));
  name.erase(0, name.find_first_not_of(L" \t"));
  name.erase(name.find_last_not_of(L" \t") + 1);
  if (name.size() > kMaxSectionName) {
    *error = {ERROR_SECTION_NAME_TOO_LONG, number};
    return std::nullopt;
  }
  return name;
}

ParseResult Lex(std::wstring_view text, std::vector<RawSection>* sections) {
  Lexer lexer(text);
  ParseResult error;
  RawSection* current = nullptr;
  while (!lexer.AtEnd()) {
    std::wstring_view l = lexer.NextPhysical();
    UINT number = lexer.LineNumber();
    size_t start = l.find_first_not_of(L" \t");
    if (start == std::wstring_view::npos || l[start] == L';') continue;
    l.remove_prefix(start);
    if (l[0] == L'[') {
      auto name = SectionName(l, &error, number);
      if (!name) return error;
      current = nullptr;
      for (RawSection& s : *sections) {
        if (SameNoCase(s.name, *name)) current = &s;
      }
      if (current == nullptr) current = &sections->emplace_back(RawSection{*name, {}});
      continue;
    }
    RawLine entry = lexer.Entry(l, number);
    if (IsEmptyEntry(entry)) continue;
    if (current == nullptr) return {ERROR_EXPECTED_SECTION_NAME, number};
    current->lines.push_back(std::move(entry));
  }
  return error;
}

struct StringTable;
std::wstring Resolve(RawField f, const StringTable* strings);

struct StringTable {
  const RawSection* localized = nullptr;
  const RawSection* neutral = nullptr;

  std::optional<std::wstring> Find(std::wstring_view key) const {
    for (const RawSection* s : {localized, neutral}) {
      if (s == nullptr) continue;
      for (const RawLine& l : s->lines) {
        if (l.hasKey && SameNoCase(Resolve(l.key, nullptr), key)) {
          return l.fields.empty() ? std::wstring() : Resolve(l.fields[0], nullptr);
        }
      }
    }
    return std::nullopt;
  }
};

std::wstring Substitute(std::wstring_view text, const StringTable* strings) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t close = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring_view::npos;
    if (close == std::wstring_view::npos) {
      out += text[i];
      continue;
    }
    std::wstring_view name = text.substr(i + 1, close - i - 1);
    std::optional<std::wstring> value;
    if (name.empty()) {
      value = L"%";
    } else if (strings != nullptr) {
      value = strings->Find(name);
    }
    if (!value) {
      // An undefined token stays as written.
      out += text.substr(i, close - i + 1);
    } else {
      out += *value;
    }
    i = close;
  }
  return out;
}

std::wstring Resolve(RawField f, const StringTable* strings) {
  TrimField(f);
  std::wstring s;
  for (const Piece& p : f) s += Substitute(p.text, strings);
  return s;
}

std::wstring LanguageSuffix(WORD language) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring s = L"Strings.";
  for (int shift = 12; shift >= 0; shift -= 4) s += kHex[(language >> shift) & 0xF];
  return s;
}

}  // namespace

const Section* FindSection(const File& file, std::wstring_view name) {
  for (const Section& s : file.sections) {
    if (SameNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

std::wstring DecodeText(std::string_view bytes) {
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      char32_t unit =
          static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
        char32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                       static_cast<unsigned char>(bytes[i + 3]) << 8;
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      text += static_cast<wchar_t>(unit);
    }
    return text;
  }
  for (char c : bytes) text += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return text;
}

ParseResult Parse(std::wstring_view text, WORD language, File* out) {
  std::vector<RawSection> raw;
  ParseResult result = Lex(text, &raw);
  if (result.error != ERROR_SUCCESS) return result;

  StringTable strings;
  for (const RawSection& s : raw) {
    if (SameNoCase(s.name, L"Strings")) strings.neutral = &s;
    if (SameNoCase(s.name, LanguageSuffix(language))) strings.localized = &s;
  }
  out->sections.clear();
  for (const RawSection& s : raw) {
    bool isStrings = &s == strings.neutral || &s == strings.localized;
    Section& section = out->sections.emplace_back(Section{s.name, {}});
    for (const RawLine& l : s.lines) {
      Line line;
      line.sourceLine = l.sourceLine;
      line.hasKey = l.hasKey;
      // String definitions are not themselves substituted; %% still means %.
      const StringTable* table = isStrings ? nullptr : &strings;
      if (l.hasKey) line.key = Resolve(l.key, table);
      for (const RawField& f : l.fields) line.fields.push_back(Resolve(f, table));
      section.lines.push_back(std::move(line));
    }
  }
  return result;
}

bool HasWin4Signature(const File& file) {
  const Section* version = FindSection(file, L"Version");
  if (version == nullptr) return false;
  for (const Line& l : version->lines) {
    if (!l.hasKey || !SameNoCase(l.key, L"Signature") || l.fields.empty()) continue;
    for (const wchar_t* s : {L"$Windows NT$", L"$Chicago$", L"$Windows 95$"}) {
      if (SameNoCase(l.fields[0], s)) return true;
    }
  }
  return false;
}

}  // namespace winsim::user::inf
