// The libraries programs load at run time, seen from the stand-in and from
// tests. An export is a function pointer under a library and a name.
#pragma once
#if defined(KORV_DRIVER)
#error "winsim/machine is for the stand-in, tests and the simulator, not for drivers"
#endif

#include <string>

#include "winsim/user/library.h"

namespace winsim::machine {

// For the stand-in: what every machine has, for the life of the process.
// Registering a library's export also makes the library exist.
void RegisterExport(const std::wstring& library, const std::string& name, FARPROC function);

// For one run (undone after it): a test's own version of an export, a
// library taken away (ERROR_MOD_NOT_FOUND) or one export taken away
// (ERROR_PROC_NOT_FOUND).
void ReplaceExport(const std::wstring& library, const std::string& name, FARPROC function);
void RemoveLibrary(const std::wstring& library);
void RemoveExport(const std::wstring& library, const std::string& name);

// References a program holds on the library (loads less frees).
int LoadCount(const std::wstring& library);

// Any function as an export; the detour through void (*)() is the
// compilers' accepted way to say that the cast is meant.
template <typename F>
FARPROC AsExport(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace winsim::machine
