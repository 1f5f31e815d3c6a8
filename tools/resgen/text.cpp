#include "tools/resgen/text.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "tools/resgen/model.h"

namespace resgen {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path, 0, "cannot be read");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::wstring DecodeUtf8(const std::string& bytes, const std::string& file, int line) {
  std::wstring text;
  for (size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + static_cast<size_t>(extra) >= bytes.size()) {
      throw Error(file, line, "malformed UTF-8");
    }
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) throw Error(file, line, "malformed UTF-8");
      cp = (cp << 6) | (cc & 0x3F);
    }
    text += static_cast<wchar_t>(cp);
    i += extra + 1;
  }
  return text;
}

std::vector<std::string> SplitLines(const std::string& bytes, std::vector<bool>* crlf) {
  std::vector<std::string> lines;
  size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string l = bytes.substr(start, end - start);
    bool cr = !l.empty() && l.back() == '\r';
    if (cr) l.pop_back();
    if (end < bytes.size() || !l.empty()) {
      lines.push_back(l);
      if (crlf != nullptr) crlf->push_back(cr);
    }
    start = end + 1;
  }
  return lines;
}

std::string Narrow(const std::wstring& ascii) {
  std::string s;
  for (wchar_t c : ascii) s += static_cast<char>(c);
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace resgen
