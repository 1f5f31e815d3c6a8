#include "tools/resgen/rc_lexer.h"

#include <cwctype>

#include "tools/resgen/model.h"
#include "tools/resgen/text.h"

namespace resgen {
namespace {

class Lexer {
 public:
  Lexer(const std::map<std::string, std::wstring>& macros, std::vector<Token>* out)
      : macros_(macros), out_(out) {}

  void Line(const std::wstring& text, const std::string& file, int line, int depth);

 private:
  size_t String(const std::wstring& t, size_t i, Token* token);
  size_t Number(const std::wstring& t, size_t i, Token* token);

  const std::map<std::string, std::wstring>& macros_;
  std::vector<Token>* out_;
  std::string file_;
  int line_ = 0;
};

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A C string with the resource compiler's escapes; "" stands for one quote.
size_t Lexer::String(const std::wstring& t, size_t i, Token* token) {
  token->kind = Token::kString;
  for (++i; i < t.size(); ++i) {
    wchar_t c = t[i];
    if (c == L'"') {
      if (i + 1 < t.size() && t[i + 1] == L'"') {
        token->text += L'"';
        ++i;
        continue;
      }
      return i + 1;
    }
    if (c != L'\\' || i + 1 >= t.size()) {
      token->text += c;
      continue;
    }
    wchar_t e = t[++i];
    switch (e) {
      case L'n': token->text += L'\n'; break;
      case L't': token->text += L'\t'; break;
      case L'r': token->text += L'\r'; break;
      case L'a': token->text += L'\a'; break;
      case L'0': token->text += L'\0'; break;
      case L'x': {
        unsigned v = 0;
        int n = 0;
        for (; n < 4 && i + 1 < t.size() && HexDigit(t[i + 1]) >= 0; ++n) v = v * 16 + HexDigit(t[++i]);
        token->text += static_cast<wchar_t>(v);
        break;
      }
      default: token->text += e; break;
    }
  }
  throw Error(file_, line_, "unterminated string");
}

size_t Lexer::Number(const std::wstring& t, size_t i, Token* token) {
  token->kind = Token::kNumber;
  size_t used = 0;
  token->number = std::stoll(Narrow(t.substr(i)), &used, 0);
  i += used;
  while (i < t.size() && (t[i] == L'L' || t[i] == L'l' || t[i] == L'U' || t[i] == L'u')) ++i;
  return i;
}

void Lexer::Line(const std::wstring& t, const std::string& file, int line, int depth) {
  file_ = file;
  line_ = line;
  for (size_t i = 0; i < t.size();) {
    wchar_t c = t[i];
    if (std::iswspace(c)) {
      ++i;
      continue;
    }
    Token token{Token::kPunct, {}, 0, file, line};
    if (c == L'"' || (c == L'L' && i + 1 < t.size() && t[i + 1] == L'"')) {
      i = String(t, c == L'L' ? i + 1 : i, &token);
    } else if (std::iswdigit(c)) {
      i = Number(t, i, &token);
    } else if (std::iswalpha(c) || c == L'_') {
      size_t b = i;
      while (i < t.size() && (std::iswalnum(t[i]) || t[i] == L'_' || t[i] == L'.')) ++i;
      std::string name = Narrow(t.substr(b, i - b));
      auto macro = macros_.find(name);
      if (macro != macros_.end()) {
        if (depth > 32) throw Error(file, line, "macro expansion too deep");
        Line(macro->second, file, line, depth + 1);
        file_ = file;
        line_ = line;
        continue;
      }
      token.kind = Token::kName;
      token.text = t.substr(b, i - b);
    } else {
      token.text = std::wstring(1, c);
      ++i;
    }
    out_->push_back(std::move(token));
  }
}

}  // namespace

std::vector<Token> Tokenize(const Preprocessed& source) {
  std::vector<Token> tokens;
  Lexer lexer(source.macros, &tokens);
  for (const SourceLine& l : source.lines) lexer.Line(l.text, l.file, l.line, 0);
  std::string file = source.lines.empty() ? std::string() : source.lines.back().file;
  int line = source.lines.empty() ? 0 : source.lines.back().line;
  tokens.push_back({Token::kEnd, L"end of file", 0, file, line});
  return tokens;
}

}  // namespace resgen
