#include "tools/resgen/expression.h"

#include <cctype>
#include <cstring>

#include "tools/resgen/model.h"
#include "tools/resgen/text.h"

namespace resgen {
namespace {

// Binary operators by precedence level, loosest first.
const std::vector<std::vector<std::string>> kLevels = {
    {"||"}, {"&&"}, {"|"}, {"^"}, {"&"}, {"==", "!="}, {"<=", ">=", "<", ">"},
    {"<<", ">>"}, {"+", "-"}, {"*", "/", "%"}};

class Evaluator {
 public:
  Evaluator(std::string text, const std::map<std::string, std::wstring>& macros,
            const std::string& file, int line, int depth)
      : s_(std::move(text)), macros_(macros), file_(file), line_(line), depth_(depth) {}

  long long All() {
    long long v = Binary(0);
    Skip();
    if (i_ != s_.size()) Fail("unexpected '" + s_.substr(i_) + "'");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& m) const { throw Error(file_, line_, "#if: " + m); }
  void Skip() {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  bool Eat(const std::string& op) {
    Skip();
    if (s_.compare(i_, op.size(), op) != 0) return false;
    // "|" must not take the first half of "||", nor "<" of "<<".
    if (op.size() == 1 && i_ + 1 < s_.size() && s_[i_ + 1] == op[0] && op != "!" && op != "~") return false;
    i_ += op.size();
    return true;
  }
  std::string Name() {
    Skip();
    size_t b = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_')) ++i_;
    return s_.substr(b, i_ - b);
  }

  long long Apply(const std::string& op, long long a, long long b) const {
    if ((op == "/" || op == "%") && b == 0) Fail("division by zero");
    if (op == "||") return a || b;
    if (op == "&&") return a && b;
    if (op == "|") return a | b;
    if (op == "^") return a ^ b;
    if (op == "&") return a & b;
    if (op == "==") return a == b;
    if (op == "!=") return a != b;
    if (op == "<=") return a <= b;
    if (op == ">=") return a >= b;
    if (op == "<") return a < b;
    if (op == ">") return a > b;
    if (op == "<<") return a << b;
    if (op == ">>") return a >> b;
    if (op == "+") return a + b;
    if (op == "-") return a - b;
    if (op == "*") return a * b;
    if (op == "/") return a / b;
    return a % b;
  }

  long long Binary(size_t level) {
    if (level == kLevels.size()) return Unary();
    long long v = Binary(level + 1);
    for (bool more = true; more;) {
      more = false;
      for (const std::string& op : kLevels[level]) {
        if (Eat(op)) {
          v = Apply(op, v, Binary(level + 1));
          more = true;
          break;
        }
      }
    }
    return v;
  }

  long long Unary() {
    if (Eat("!")) return !Unary();
    if (Eat("~")) return ~Unary();
    if (Eat("-")) return -Unary();
    if (Eat("(")) {
      long long v = Binary(0);
      if (!Eat(")")) Fail("missing ')'");
      return v;
    }
    Skip();
    if (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      size_t used = 0;
      long long v = std::stoll(s_.substr(i_), &used, 0);
      i_ += used;
      while (i_ < s_.size() && std::strchr("uUlL", s_[i_]) && s_[i_] != '\0') ++i_;
      return v;
    }
    std::string name = Name();
    if (name.empty()) Fail("expected a value");
    if (name == "defined") {
      bool paren = Eat("(");
      std::string n = Name();
      if (paren && !Eat(")")) Fail("missing ')'");
      return macros_.count(n) != 0;
    }
    auto it = macros_.find(name);
    if (it == macros_.end()) return 0;
    if (depth_ > 32) Fail("macro expansion too deep");
    return Evaluator(Narrow(it->second), macros_, file_, line_, depth_ + 1).All();
  }

  std::string s_;
  size_t i_ = 0;
  const std::map<std::string, std::wstring>& macros_;
  const std::string& file_;
  int line_;
  int depth_;
};

}  // namespace

long long EvaluateCondition(const std::string& expr,
                            const std::map<std::string, std::wstring>& macros,
                            const std::string& file, int line) {
  return Evaluator(expr, macros, file, line, 0).All();
}

}  // namespace resgen
