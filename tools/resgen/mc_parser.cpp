#include "tools/resgen/mc_parser.h"

#include <cstdio>
#include <map>

#include "tools/resgen/text.h"

namespace resgen {
namespace {

struct Named {
  unsigned value;
  std::string extra;  // a language's file name part, unused here
};

class McParser {
 public:
  McParser(const std::string& path, Resources* out) : path_(path), out_(out) {}
  void Run(const std::vector<std::string>& lines, std::vector<bool> crlf);

 private:
  [[noreturn]] void Fail(const std::string& m) const { throw Error(path_, line_, m); }
  unsigned Number(const std::string& text) const;
  void Names(const std::string& value, std::map<std::string, Named>* table);
  std::string Value(const std::vector<std::string>& lines, size_t* i, const std::string& first);
  void Text(const std::vector<std::string>& lines, size_t* i, const std::string& language);
  void Keyword(const std::string& key, const std::string& value,
               const std::vector<std::string>& lines, size_t* i);

  std::string path_;
  Resources* out_;
  std::vector<bool> crlf_;
  int line_ = 0;
  std::map<std::string, Named> severities_{{"SUCCESS", {0, ""}}, {"INFORMATIONAL", {1, ""}},
                                           {"WARNING", {2, ""}}, {"ERROR", {3, ""}}};
  std::map<std::string, Named> facilities_{{"SYSTEM", {0x0FF, ""}}, {"APPLICATION", {0xFFF, ""}}};
  std::map<std::string, Named> languages_{{"ENGLISH", {0x409, "MSG00001"}}};
  unsigned severity_ = 0;
  unsigned facility_ = 0;
  long long id_ = -1;  // the current message's MessageId, -1 before the first
  bool inMessage_ = false;
  std::string symbol_;
  std::string typedef_;
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

unsigned McParser::Number(const std::string& text) const {
  try {
    size_t used = 0;
    unsigned long v = std::stoul(text, &used, 0);
    if (Trim(text.substr(used)).empty()) return static_cast<unsigned>(v);
  } catch (const std::exception&) {
  }
  Fail("expected a number, not \"" + text + "\"");
}

// "(Name=value[:extra] Name=value ...)"
void McParser::Names(const std::string& value, std::map<std::string, Named>* table) {
  std::string v = Trim(value);
  if (v.size() < 2 || v.front() != '(' || v.back() != ')') Fail("expected (name=value ...)");
  std::string body = v.substr(1, v.size() - 2);
  for (size_t i = 0; i < body.size();) {
    size_t b = body.find_first_not_of(" \t\r\n", i);
    if (b == std::string::npos) break;
    size_t e = body.find_first_of(" \t\r\n", b);
    std::string item = body.substr(b, e == std::string::npos ? std::string::npos : e - b);
    size_t eq = item.find('=');
    if (eq == std::string::npos) Fail("expected name=value in \"" + item + "\"");
    std::string rest = item.substr(eq + 1);
    size_t colon = rest.find(':');
    (*table)[Upper(item.substr(0, eq))] = {Number(rest.substr(0, colon)),
                                           colon == std::string::npos ? "" : rest.substr(colon + 1)};
    i = e == std::string::npos ? body.size() : e;
  }
}

// A value in parentheses may go on over several lines.
std::string McParser::Value(const std::vector<std::string>& lines, size_t* i,
                            const std::string& first) {
  std::string v = Trim(first);
  if (v.empty() || v.front() != '(') return v;
  while (v.find(')') == std::string::npos) {
    if (++*i >= lines.size()) Fail("missing ')'");
    v += " " + lines[*i];
  }
  return v;
}

void McParser::Text(const std::vector<std::string>& lines, size_t* i, const std::string& language) {
  auto lang = languages_.find(Upper(language));
  if (lang == languages_.end()) Fail("unknown language " + language);
  if (!inMessage_) Fail("Language= outside a message");
  unsigned id = (severity_ << 30) | (facility_ << 16) | static_cast<unsigned>(id_);
  std::wstring text;
  for (++*i;; ++*i) {
    if (*i >= lines.size()) Fail("message text not ended by a line with a single '.'");
    line_ = static_cast<int>(*i + 1);
    if (lines[*i] == ".") break;
    // Each line keeps the break it has in the file, as windmc stores it
    // (the Microsoft compiler would store CR LF).
    text += DecodeUtf8(lines[*i], path_, line_) + (crlf_[*i] ? L"\r\n" : L"\n");
  }
  auto language_id = static_cast<unsigned short>(lang->second.value);
  for (const Message& m : out_->messages) {
    if (m.id == id && m.language == language_id) Fail("message " + std::to_string(id) + " defined twice");
  }
  out_->messages.push_back({id, language_id, text});
  if (!symbol_.empty()) {
    char value[32];
    std::snprintf(value, sizeof value, "0x%08XL", id);
    out_->messageHeader.push_back("#define " + symbol_ + " " +
                                  (typedef_.empty() ? value : "((" + typedef_ + ")" + value + ")"));
    symbol_.clear();
  }
}

void McParser::Keyword(const std::string& key, const std::string& value,
                       const std::vector<std::string>& lines, size_t* i) {
  std::string k = Upper(key);
  if (k == "MESSAGEIDTYPEDEF") {
    typedef_ = Trim(value);
  } else if (k == "SEVERITYNAMES") {
    Names(Value(lines, i, value), &severities_);
  } else if (k == "FACILITYNAMES") {
    Names(Value(lines, i, value), &facilities_);
  } else if (k == "LANGUAGENAMES") {
    Names(Value(lines, i, value), &languages_);
  } else if (k == "OUTPUTBASE") {
  } else if (k == "MESSAGEID") {
    std::string v = Trim(value);
    if (v.empty()) {
      id_ = id_ + 1;
    } else if (v[0] == '+') {
      id_ = (id_ < 0 ? 0 : id_) + Number(v.substr(1));
    } else {
      id_ = Number(v);
    }
    if (id_ > 0xFFFF) Fail("MessageId above 0xFFFF");
    inMessage_ = true;
    symbol_.clear();
  } else if (k == "SEVERITY" || k == "FACILITY") {
    auto& table = k == "SEVERITY" ? severities_ : facilities_;
    auto it = table.find(Upper(Trim(value)));
    if (it == table.end()) Fail("unknown " + key + " " + Trim(value));
    (k == "SEVERITY" ? severity_ : facility_) = it->second.value;
  } else if (k == "SYMBOLICNAME") {
    symbol_ = Trim(value);
  } else if (k == "LANGUAGE") {
    Text(lines, i, Trim(value));
  } else {
    Fail("unknown keyword " + key);
  }
}

void McParser::Run(const std::vector<std::string>& lines, std::vector<bool> crlf) {
  crlf_ = std::move(crlf);
  for (size_t i = 0; i < lines.size(); ++i) {
    line_ = static_cast<int>(i + 1);
    std::string l = Trim(lines[i]);
    if (!l.empty() && l[0] == ';') {
      // The message compiler copies comment lines into its header.
      out_->messageHeader.push_back(Trim(lines[i]).substr(1));
      continue;
    }
    if (l.empty()) continue;
    size_t eq = l.find('=');
    if (eq == std::string::npos) Fail("expected keyword=value");
    Keyword(Trim(l.substr(0, eq)), l.substr(eq + 1), lines, &i);
  }
}

}  // namespace

void ParseMessageFile(const std::string& path, Resources* out) {
  out->inputs.push_back(path);
  std::vector<bool> crlf;
  std::vector<std::string> lines = SplitLines(ReadFile(path), &crlf);
  McParser(path, out).Run(lines, std::move(crlf));
}

}  // namespace resgen
