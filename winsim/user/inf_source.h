// Where SetupOpenInfFileW gets an INF's bytes: a bare name from the
// machine's INF directory, then its system32; any other name as a path
// (relative ones from the current directory). Internal to winsim/user.
#pragma once
#include <string>

#include "winsim/user/types.h"

namespace winsim::user::inf {

// ERROR_SUCCESS with the whole file in *bytes and, when asked, its full
// path in *path; or the error reading it gave (for a bare name, the error of
// the last place tried).
DWORD ReadInfFile(const std::wstring& name, std::string* bytes, std::wstring* path = nullptr);

}  // namespace winsim::user::inf
