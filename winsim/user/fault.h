// How the programs' side of the stand-in stops a run when a program misuses
// an API in a way Windows would punish unpredictably (a freed handle used, a
// buffer freed twice): like the kernel's verifier, it names the call.
#pragma once
#include <string>

#include "winsim/host/scheduler.h"

namespace winsim::user {

[[noreturn]] inline void ProgramFault(const char* call, const std::string& message) {
  std::string thread = host::Current() ? host::Name(host::Current()) : "(outside the run)";
  host::Fail("winsim user: " + std::string(call) + ": " + message + "\n  thread: " + thread +
             "\n  seed: " + std::to_string(host::Seed()));
}

}  // namespace winsim::user
