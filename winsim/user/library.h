// Libraries loaded at run time. The host build links everything in, so a
// "library" is a table of named functions that other parts of the stand-in
// (or tests) register: winsim/machine/libraries.h.
#pragma once
#include <cstdint>

#include "winsim/user/types.h"

struct HINSTANCE__;
typedef HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef intptr_t INT_PTR;
typedef INT_PTR(WINAPI *FARPROC)();

// By bare name ("setupapi.dll"; ".dll" is added when the name has no
// extension) or by a path into the system directory. Each load adds a
// reference that FreeLibrary drops. ERROR_MOD_NOT_FOUND for an unknown one.
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
// By name; ERROR_PROC_NOT_FOUND when the library has no such function, and
// for ordinals, which nothing here exports.
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
// Null names the program itself (ProgramInstance()); a library is found
// only while loaded, and no reference is added.
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
