#include "tools/resgen/rc_parser.h"

#include "tools/resgen/builtins.h"
#include "tools/resgen/rc_lexer.h"
#include "tools/resgen/text.h"
#include "winsim/user/dialogs.h"
#include "winsim/user/resources.h"

namespace resgen {
namespace {

constexpr unsigned kControlBase = WS_CHILD | WS_VISIBLE;

struct ControlKind {
  const char* keyword;
  const wchar_t* className;
  unsigned style;
  bool hasText;
};

// The statements for predefined controls, with the styles they imply.
const ControlKind kControls[] = {
    {"LTEXT", L"STATIC", SS_LEFT | WS_GROUP, true},
    {"RTEXT", L"STATIC", SS_RIGHT | WS_GROUP, true},
    {"CTEXT", L"STATIC", SS_CENTER | WS_GROUP, true},
    {"PUSHBUTTON", L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, true},
    {"DEFPUSHBUTTON", L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, true},
    {"CHECKBOX", L"BUTTON", BS_CHECKBOX | WS_TABSTOP, true},
    {"AUTOCHECKBOX", L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, true},
    {"GROUPBOX", L"BUTTON", BS_GROUPBOX, true},
    {"EDITTEXT", L"EDIT", ES_LEFT | WS_BORDER | WS_TABSTOP, false},
};

class Parser {
 public:
  Parser(std::vector<Token> tokens, Resources* out) : t_(std::move(tokens)), out_(out) {}
  void Script();

 private:
  const Token& Peek(size_t ahead = 0) const { return t_[std::min(i_ + ahead, t_.size() - 1)]; }
  const Token& Next() { return t_[i_ < t_.size() - 1 ? i_++ : i_]; }
  [[noreturn]] void Fail(const std::string& m) const { throw Error(Peek().file, Peek().line, m); }
  bool IsWord(const char* word, size_t ahead = 0) const {
    return Peek(ahead).kind == Token::kName && Upper(Narrow(Peek(ahead).text)) == word;
  }
  bool IsPunct(wchar_t c) const { return Peek().kind == Token::kPunct && Peek().text[0] == c; }
  bool Eat(wchar_t c) { return IsPunct(c) ? (Next(), true) : false; }
  void Expect(wchar_t c) {
    if (!Eat(c)) Fail(std::string("expected '") + static_cast<char>(c) + "'");
  }
  bool Begin() { return IsWord("BEGIN") ? (Next(), true) : Eat(L'{'); }
  bool End() { return IsWord("END") ? (Next(), true) : Eat(L'}'); }
  std::wstring String() {
    if (Peek().kind != Token::kString) Fail("expected a string");
    return Next().text;
  }

  long long Term();
  long long Expr();
  unsigned Style(unsigned base);
  unsigned short Language();
  void OptionalCommaThen() { Eat(L','); }

  void StringTable();
  void DialogResource(const Token& name, bool extended);
  void DialogOptions(Dialog& d, bool& styleGiven);
  Control ControlStatement(bool extended);
  void SkipResource();

  std::vector<Token> t_;
  size_t i_ = 0;
  Resources* out_;
  unsigned short language_ = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
};

long long Parser::Term() {
  if (Eat(L'-')) return -Term();
  if (Eat(L'~')) return ~Term();
  if (Eat(L'(')) {
    long long v = Expr();
    Expect(L')');
    return v;
  }
  const Token& t = Peek();
  if (t.kind == Token::kNumber) return Next().number;
  if (t.kind == Token::kName) {
    if (auto v = Builtin(Narrow(t.text))) {
      Next();
      return static_cast<int>(*v);
    }
    Fail("unknown name " + Narrow(t.text));
  }
  Fail("expected a number");
}

long long Parser::Expr() {
  long long v = Term();
  for (;;) {
    if (Eat(L'|')) {
      v |= Term();
    } else if (Eat(L'+')) {
      v += Term();
    } else if (Eat(L'-')) {
      v -= Term();
    } else if (Eat(L'&')) {
      v &= Term();
    } else {
      return v;
    }
  }
}

// A style list: "A | B | NOT C" sets A and B on `base` and clears C.
unsigned Parser::Style(unsigned base) {
  unsigned v = base;
  do {
    if (IsWord("NOT")) {
      Next();
      v &= ~static_cast<unsigned>(Term());
    } else {
      v |= static_cast<unsigned>(Term());
    }
  } while (Eat(L'|'));
  return v;
}

unsigned short Parser::Language() {
  long long primary = Expr();
  Expect(L',');
  long long sub = Expr();
  return static_cast<unsigned short>(MAKELANGID(primary, sub));
}

void Parser::StringTable() {
  unsigned short language = language_;
  while (!Begin()) {
    if (IsWord("LANGUAGE")) {
      Next();
      language = Language();
    } else if (IsWord("CHARACTERISTICS") || IsWord("VERSION")) {
      Next();
      Expr();
    } else {
      Fail("expected BEGIN");
    }
  }
  while (!End()) {
    unsigned id = static_cast<unsigned>(Expr()) & 0xFFFF;
    OptionalCommaThen();
    std::wstring text = String();
    for (const StringResource& s : out_->strings) {
      if (s.id == id && s.language == language) Fail("string " + std::to_string(id) + " defined twice");
    }
    out_->strings.push_back({id, language, text});
  }
}

void Parser::DialogOptions(Dialog& d, bool& styleGiven) {
  for (;;) {
    if (IsWord("STYLE")) {
      Next();
      d.style = Style(0);
      styleGiven = true;
    } else if (IsWord("EXSTYLE")) {
      Next();
      d.exStyle = Style(0);
    } else if (IsWord("CAPTION")) {
      Next();
      d.caption = String();
    } else if (IsWord("FONT")) {
      Next();
      d.hasFont = true;
      d.fontSize = static_cast<unsigned>(Expr());
      Expect(L',');
      d.fontName = String();
      while (d.extended && Eat(L',')) Expr();  // weight, italic, character set
    } else if (IsWord("LANGUAGE")) {
      Next();
      d.language = Language();
    } else if (IsWord("CHARACTERISTICS") || IsWord("VERSION")) {
      Next();
      Expr();
    } else if (IsWord("CLASS") || IsWord("MENU")) {
      Next();
      Next();
    } else {
      return;
    }
  }
}

Control Parser::ControlStatement(bool extended) {
  Control c{};
  std::string keyword = Upper(Narrow(Next().text));
  unsigned base = kControlBase;
  bool generic = keyword == "CONTROL";
  const ControlKind* kind = nullptr;
  for (const ControlKind& k : kControls) {
    if (keyword == k.keyword) kind = &k;
  }
  if (!generic && kind == nullptr) Fail("unsupported control statement " + keyword);
  if (generic || kind->hasText) {
    c.text = String();
    Expect(L',');
  }
  long long id = Expr();
  c.id = id == -1 ? (extended ? 0xFFFFFFFFu : 0xFFFFu) : static_cast<unsigned>(id);
  Expect(L',');
  if (generic) {
    c.className = Peek().kind == Token::kString ? String() : Next().text;
    // The predefined classes are stored upper-cased, as the resource compiler does.
    std::string upper = Upper(Narrow(c.className));
    for (const char* known : {"BUTTON", "STATIC", "EDIT", "LISTBOX", "SCROLLBAR", "COMBOBOX"}) {
      if (upper == known) c.className = std::wstring(upper.begin(), upper.end());
    }
    Expect(L',');
    c.style = Style(base);
    Expect(L',');
  } else {
    c.className = kind->className;
    c.style = base | kind->style;
  }
  int* place[] = {&c.x, &c.y, &c.cx, &c.cy};
  for (int k = 0; k < 4; ++k) {
    if (k > 0) Expect(L',');
    *place[k] = static_cast<int>(Expr());
  }
  if (!generic && Eat(L',')) c.style = Style(c.style);
  if (Eat(L',')) c.exStyle = Style(0);
  return c;
}

void Parser::DialogResource(const Token& name, bool extended) {
  Dialog d;
  d.extended = extended;
  d.language = language_;
  if (name.kind == Token::kNumber) {
    d.id = static_cast<unsigned>(name.number);
  } else {
    d.name = name.text;
  }
  while (IsWord("DISCARDABLE") || IsWord("MOVEABLE") || IsWord("PURE") || IsWord("PRELOAD") ||
         IsWord("LOADONCALL") || IsWord("FIXED") || IsWord("IMPURE")) {
    Next();
  }
  int* place[] = {&d.x, &d.y, &d.cx, &d.cy};
  for (int k = 0; k < 4; ++k) {
    if (k > 0) Expect(L',');
    *place[k] = static_cast<int>(Expr());
  }
  if (extended && Eat(L',')) Expr();  // help id
  bool styleGiven = false;
  DialogOptions(d, styleGiven);
  if (!styleGiven) d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
  if (!d.caption.empty()) d.style |= WS_CAPTION;
  if (d.hasFont) d.style |= DS_SETFONT;
  if (!Begin()) Fail("expected BEGIN");
  while (!End()) d.controls.push_back(ControlStatement(extended));
  out_->dialogs.push_back(std::move(d));
}

// Resources the stand-in does not serve: "name TYPE file" or a block.
void Parser::SkipResource() {
  if (Peek().kind == Token::kString) {
    Next();
    return;
  }
  while (!Begin()) {
    if (Peek().kind == Token::kEnd) Fail("expected BEGIN");
    Next();
  }
  for (int depth = 1; depth > 0;) {
    if (Peek().kind == Token::kEnd) Fail("missing END");
    if (Begin()) {
      ++depth;
    } else if (End()) {
      --depth;
    } else {
      Next();
    }
  }
}

void Parser::Script() {
  while (Peek().kind != Token::kEnd) {
    if (IsWord("LANGUAGE")) {
      Next();
      language_ = Language();
    } else if (IsWord("STRINGTABLE")) {
      Next();
      StringTable();
    } else if (IsWord("CHARACTERISTICS") || IsWord("VERSION")) {
      Next();
      Expr();
    } else if (Peek().kind == Token::kName || Peek().kind == Token::kNumber) {
      Token name = Next();
      if (IsWord("DIALOG") || IsWord("DIALOGEX")) {
        bool extended = IsWord("DIALOGEX");
        Next();
        DialogResource(name, extended);
      } else {
        Next();
        SkipResource();
      }
    } else {
      Fail("expected a resource");
    }
  }
}

}  // namespace

void ParseResourceScript(const std::string& path, const std::vector<std::string>& includeDirs,
                         Resources* out) {
  Preprocessed source = Preprocess(path, includeDirs);
  out->inputs.insert(out->inputs.end(), source.files.begin(), source.files.end());
  Parser(Tokenize(source), out).Script();
}

}  // namespace resgen
