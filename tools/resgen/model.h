// What resgen reads out of a resource script and a message file: the
// resources the host build's stand-in serves.
#pragma once
#include <stdexcept>
#include <string>
#include <vector>

namespace resgen {

struct StringResource {
  unsigned id;
  unsigned short language;
  std::wstring text;
};

struct Message {
  unsigned id;
  unsigned short language;
  std::wstring text;
};

struct Control {
  std::wstring className;
  std::wstring text;
  unsigned id;
  unsigned style;
  unsigned exStyle;
  int x, y, cx, cy;
};

struct Dialog {
  unsigned id = 0;
  std::wstring name;  // when named by a string
  unsigned short language = 0;
  bool extended = false;
  unsigned style = 0;
  unsigned exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::wstring caption;
  bool hasFont = false;
  std::wstring fontName;
  unsigned fontSize = 0;
  std::vector<Control> controls;
};

struct Resources {
  std::vector<StringResource> strings;
  std::vector<Message> messages;
  std::vector<Dialog> dialogs;
  // The header the message compiler writes: comment lines of the message
  // file as they are (without the ';'), and a #define per SymbolicName=.
  std::vector<std::string> messageHeader;
  std::vector<std::string> inputs;  // every file read, for the depfile
};

// A fault in an input, reported as "file:line: message".
struct Error : std::runtime_error {
  Error(const std::string& file, int line, const std::string& message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message) {}
};

}  // namespace resgen
