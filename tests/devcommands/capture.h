// What the engine writes to the C runtime's stdout and stderr during a call.
//
// The streams are swapped for fresh temporary files around the call (glibc
// documents stdout and stderr as ordinary variables that may be assigned).
// Redirecting file descriptors 1 and 2 instead would keep the process's own
// FILE objects, and a stream takes its orientation from its first write: once
// the engine had written wide characters to stdout, GoogleTest's narrow
// output there would be lost for the rest of the run. Wide output is encoded
// as UTF-8, as korvctl sets it up.
#pragma once
#include <functional>
#include <string>

namespace devcommands::testing {

struct Captured {
  std::string out;
  std::string err;
};

Captured CaptureOutput(const std::function<void()>& body);

// UTF-8, for comparing with what was captured.
std::string Utf8(const std::wstring& text);

}  // namespace devcommands::testing
