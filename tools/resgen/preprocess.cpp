#include "tools/resgen/preprocess.h"

#include <algorithm>
#include <filesystem>

#include "tools/resgen/expression.h"
#include "tools/resgen/model.h"
#include "tools/resgen/text.h"

namespace resgen {
namespace {

namespace fs = std::filesystem;

struct Conditional {
  bool active;     // this branch is taken
  bool taken;      // some branch of the group was taken
  bool outerActive;
};

class Preprocessor {
 public:
  explicit Preprocessor(std::vector<std::string> dirs) : dirs_(std::move(dirs)) {}
  void File(const std::string& path, int depth);
  Preprocessed result;

 private:
  bool Active() const { return stack_.empty() || stack_.back().active; }
  void Directive(const std::string& text, const std::string& file, int line, int depth);
  std::string StripComments(const std::string& line);
  std::string Resolve(const std::string& name, const std::string& from, int line) const;
  bool Evaluate(const std::string& expr, const std::string& file, int line) const;

  std::vector<std::string> dirs_;
  std::vector<Conditional> stack_;
  bool inComment_ = false;
  bool utf8_ = false;
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Removes // and /* */ comments outside string literals.
std::string Preprocessor::StripComments(const std::string& line) {
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (inComment_) {
      if (line.compare(i, 2, "*/") == 0) {
        inComment_ = false;
        ++i;
      }
      continue;
    }
    if (line[i] == '"') quoted = !quoted;
    if (!quoted && line.compare(i, 2, "//") == 0) break;
    if (!quoted && line.compare(i, 2, "/*") == 0) {
      inComment_ = true;
      ++i;
      out += ' ';
      continue;
    }
    out += line[i];
  }
  return out;
}

std::string Preprocessor::Resolve(const std::string& name, const std::string& from,
                                  int line) const {
  std::vector<fs::path> candidates{fs::path(from).parent_path() / name};
  for (const std::string& d : dirs_) candidates.push_back(fs::path(d) / name);
  for (const fs::path& c : candidates) {
    if (fs::exists(c)) return c.string();
  }
  throw Error(from, line, "cannot find included file \"" + name + "\"");
}

bool Preprocessor::Evaluate(const std::string& expr, const std::string& file, int line) const {
  return EvaluateCondition(expr, result.macros, file, line) != 0;
}

void Preprocessor::Directive(const std::string& text, const std::string& file, int line,
                             int depth) {
  std::string body = Trim(text.substr(text.find('#') + 1));
  size_t space = body.find_first_of(" \t(");
  std::string word = body.substr(0, space);
  std::string rest = space == std::string::npos ? "" : Trim(body.substr(space));
  if (word == "if" || word == "ifdef" || word == "ifndef") {
    bool on = word == "if"      ? Active() && Evaluate(rest, file, line)
              : word == "ifdef" ? result.macros.count(rest) != 0
                                : result.macros.count(rest) == 0;
    stack_.push_back({Active() && on, on, Active()});
  } else if (word == "elif" || word == "else" || word == "endif") {
    if (stack_.empty()) throw Error(file, line, "#" + word + " without #if");
    Conditional& c = stack_.back();
    if (word == "endif") {
      stack_.pop_back();
    } else {
      bool on = !c.taken && (word == "else" || (c.outerActive && Evaluate(rest, file, line)));
      c.active = c.outerActive && on;
      c.taken = c.taken || on;
    }
    return;
  }
  if (!Active()) return;
  if (word == "include") {
    if (rest.size() >= 2 && rest.front() == '"') {
      File(Resolve(rest.substr(1, rest.find('"', 1) - 1), file, line), depth + 1);
    } else if (rest.empty() || rest.front() != '<') {
      throw Error(file, line, "malformed #include");
    }
  } else if (word == "define") {
    size_t end = rest.find_first_of(" \t(");
    std::string name = rest.substr(0, end);
    if (end != std::string::npos && rest[end] == '(') return;  // function-like: not used in scripts
    result.macros[name] = DecodeUtf8(end == std::string::npos ? "" : Trim(rest.substr(end)), file, line);
  } else if (word == "undef") {
    result.macros.erase(rest);
  } else if (word == "pragma") {
    std::string p = rest;
    p.erase(std::remove_if(p.begin(), p.end(), [](char c) { return c == ' ' || c == '\t'; }), p.end());
    if (p == "code_page(65001)") {
      utf8_ = true;
    } else if (p.rfind("code_page(", 0) == 0) {
      throw Error(file, line, "only #pragma code_page(65001) is supported");
    }
  } else if (word == "error") {
    throw Error(file, line, "#error " + rest);
  } else if (word != "line" && !word.empty()) {
    throw Error(file, line, "unsupported directive #" + word);
  }
}

void Preprocessor::File(const std::string& path, int depth) {
  if (depth > 16) throw Error(path, 0, "#include nested too deeply");
  result.files.push_back(path);
  std::vector<std::string> lines = SplitLines(ReadFile(path));
  for (size_t i = 0; i < lines.size(); ++i) {
    int number = static_cast<int>(i + 1);
    std::string l = lines[i];
    while (!l.empty() && l.back() == '\\' && i + 1 < lines.size()) {
      l.pop_back();
      l += lines[++i];
    }
    l = StripComments(l);
    std::string t = Trim(l);
    if (!t.empty() && t[0] == '#') {
      Directive(t, path, number, depth);
      continue;
    }
    if (!Active() || t.empty()) continue;
    bool ascii = std::all_of(t.begin(), t.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii && !utf8_) throw Error(path, number, "non-ASCII text needs #pragma code_page(65001)");
    result.lines.push_back({DecodeUtf8(t, path, number), path, number});
  }
  if (depth == 0 && !stack_.empty()) throw Error(path, static_cast<int>(lines.size()), "#if without #endif");
}

}  // namespace

Preprocessed Preprocess(const std::string& path, const std::vector<std::string>& includeDirs) {
  Preprocessor p(includeDirs);
  p.File(path, 0);
  return std::move(p.result);
}

}  // namespace resgen
