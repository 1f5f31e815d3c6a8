// Finding the program's resources in the language the platform would pick.
// Internal to winsim/user.
#pragma once
#include "winsim/user/resource_image.h"
#include "winsim/user/resources.h"

namespace winsim::user::resources {

// Whether `module` names the program (NULL or ProgramInstance()).
bool IsProgram(HMODULE module);

// A string table block, message table or dialog exists per language; these
// pick the language as FindResource does for a neutral request: the user's
// interface language, then its neutral sublanguage, neutral, US English,
// and failing those the lowest language present. ERROR_SUCCESS or an
// ERROR_RESOURCE_* code in *error.
const StringEntry* FindString(UINT id, DWORD* error);
const DialogTemplate* FindDialog(LPCWSTR name, DWORD* error);

// FormatMessageW's choice: `language` 0 searches neutral, the thread's and
// the user's language, the system's, then US English; any other language is
// taken exactly. ERROR_MR_MID_NOT_FOUND when the chosen table lacks the id.
const MessageEntry* FindMessage(DWORD id, DWORD language, DWORD* error);

}  // namespace winsim::user::resources
