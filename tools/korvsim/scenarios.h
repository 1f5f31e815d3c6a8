// The simulator's scenarios. Each runs on a fresh simulated machine under a
// seed and returns the process exit status: 0 when everything came back and
// nothing leaked.
#pragma once
#include <cstdint>

namespace korvsim {

// The package as built so far, driven as a user would drive it.
int RunReaderScenario(uint64_t seed);
// The stand-in kernel on its own: two demo drivers and an application.
int RunKernelDemo(uint64_t seed);

// A line of the scenario's log, stamped with virtual time.
void Log(const char* who, const char* format, ...);

}  // namespace korvsim
