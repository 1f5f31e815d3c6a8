// #if conditions: integers, macros (an undefined name is 0), defined(NAME),
// ! ~ unary -, * / % + - << >> < <= > >= == != & ^ | && || and parentheses.
#pragma once
#include <map>
#include <string>

namespace resgen {

long long EvaluateCondition(const std::string& expr, const std::map<std::string, std::wstring>& macros,
                            const std::string& file, int line);

}  // namespace resgen
