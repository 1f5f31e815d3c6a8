// Reading source files and turning their bytes into text.
#pragma once
#include <string>
#include <vector>

namespace resgen {

// The file's bytes; throws Error when it cannot be read.
std::string ReadFile(const std::string& path);

// UTF-8 to wide text; throws Error (naming file and line) on malformed input.
std::wstring DecodeUtf8(const std::string& bytes, const std::string& file, int line);

// The bytes split into lines without their line breaks; a UTF-8 byte order
// mark at the start is dropped. `crlf`, when given, tells for each line
// whether it ended in CR LF.
std::vector<std::string> SplitLines(const std::string& bytes, std::vector<bool>* crlf = nullptr);

std::string Narrow(const std::wstring& ascii);
std::string Upper(std::string s);

}  // namespace resgen
