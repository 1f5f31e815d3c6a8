// Names and printouts of table rows: each row's `what`, so a failing row is
// named by what it is about.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace devcommands::testing {

struct ByWhat {
  template <typename Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    std::string name;
    for (char c : std::string(info.param.what)) {
      name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
  }
};

}  // namespace devcommands::testing

// Rows print as their description instead of their bytes.
#define PRINT_ROW_AS_WHAT(Row) \
  [[maybe_unused]] inline void PrintTo(const Row& row, std::ostream* os) { *os << row.what; }
