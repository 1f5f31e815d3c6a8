// The part of the C preprocessor a resource script uses: #include of the
// program's headers (system headers in <> are skipped: the names they would
// define are built in), object-like #define and #undef, #if/#ifdef/#ifndef/
// #elif/#else/#endif, comments, and #pragma code_page(65001), without which
// text must be ASCII.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace resgen {

struct SourceLine {
  std::wstring text;  // comments removed
  std::string file;
  int line;
};

struct Preprocessed {
  std::vector<SourceLine> lines;
  std::map<std::string, std::wstring> macros;
  std::vector<std::string> files;  // every file read
};

Preprocessed Preprocess(const std::string& path, const std::vector<std::string>& includeDirs);

}  // namespace resgen
