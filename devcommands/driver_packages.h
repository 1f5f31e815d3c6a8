// What the driver package commands share: the platform's setupapi.dll bound
// at run time, for the functions that may be missing from it.
#pragma once
#include "platform/win32.h"

namespace devcommands {

// Paths are resolved into buffers of this many characters.
constexpr DWORD kPathChars = 260;

// setupapi.dll loaded by name with one function looked up; both null when
// either is missing. The library is released when the object goes.
class SetupApiFunction {
 public:
  explicit SetupApiFunction(const char* name);
  ~SetupApiFunction();
  SetupApiFunction(const SetupApiFunction&) = delete;
  SetupApiFunction& operator=(const SetupApiFunction&) = delete;

  // The function as its prototype; null when unavailable.
  template <typename F>
  F As() const {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(function_));
  }
  bool Available() const { return function_ != nullptr; }

 private:
  HMODULE library_ = nullptr;
  FARPROC function_ = nullptr;
};

}  // namespace devcommands
