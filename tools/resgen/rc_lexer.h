// Tokens of a preprocessed resource script. Names that are macros are
// replaced by their definitions' tokens.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "tools/resgen/preprocess.h"

namespace resgen {

struct Token {
  enum Kind { kName, kNumber, kString, kPunct, kEnd } kind;
  std::wstring text;  // name (upper-cased keywords compare on this), string value, punctuation
  long long number = 0;
  std::string file;
  int line = 0;
};

std::vector<Token> Tokenize(const Preprocessed& source);

}  // namespace resgen
