// Writes the tables the host build compiles into the program, and the
// header of message symbols the message compiler would write.
#pragma once
#include <string>

#include "tools/resgen/model.h"

namespace resgen {

std::string EmitTables(const Resources& r, const std::string& label);
std::string EmitMessageHeader(const Resources& r, const std::string& source);

// A wide string literal for any text.
std::string WideLiteral(const std::wstring& text);

}  // namespace resgen
