// The stand-in's own functions that system libraries export to programs
// binding at run time (LoadLibraryW, GetProcAddress). Internal to
// winsim/user.
#pragma once
#include <vector>

#include "winsim/user/library.h"

namespace winsim::user {

struct SystemExport {
  const wchar_t* library;
  const char* name;
  FARPROC function;
};

std::vector<SystemExport> SystemExports();

}  // namespace winsim::user
