// The host layer under the stand-in: simulated threads, the baton that lets
// exactly one of them run at a time, seeded switching and virtual time.
// Everything Windows-shaped is ordinary code on top of these few calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace winsim::host {

struct Thread;

enum class ThreadKind { kForeground, kService };
enum class WakeReason { kSignalled, kTimedOut };

// Runs `scenario` as the foreground thread "main" under `seed` and returns
// when every foreground thread has ended; service threads still alive then
// are idle and are unwound. Seed 0 switches only when a thread blocks.
// Called from a thread outside the simulation; runs do not nest.
void Run(uint64_t seed, std::function<void()> scenario);

// Starts a simulated thread; it first runs when the scheduler picks it.
// May switch.
Thread* Spawn(std::string name, ThreadKind kind, std::function<void()> body);

// The running simulated thread, or nullptr outside a run.
Thread* Current();

// A scheduling point: under a non-zero seed the scheduler may hand the baton
// to another runnable thread here. Never blocks for long.
void Yield();

// Blocks the current thread until Wake() or, with a deadline, until virtual
// time reaches it. `what` names the wait for deadlock reports. Releases the
// baton while blocked.
WakeReason Block(std::string what, std::optional<uint64_t> deadline);

// Makes a blocked thread runnable; its Block() returns kSignalled. Does not
// switch.
void Wake(Thread* thread);

// Virtual time in 100 ns units since the run began.
uint64_t Now();

// A copy of the run's seed (0 outside a run), for code that wants its own
// seeded choices.
uint64_t Seed();

// Deterministic pseudo-random number from the run's generator.
uint64_t Random();

const std::string& Name(const Thread* thread);
ThreadKind Kind(const Thread* thread);
bool Finished(const Thread* thread);

// One pointer of per-thread state for the layer above.
void* Slot(const Thread* thread);
void SetSlot(Thread* thread, void* value);

// Called, for every run, when a thread's body ends (normally or unwound).
// Set once by the layer above, outside any run.
void SetThreadExitHook(std::function<void(Thread*)> hook);

// Number of baton hand-offs so far in this run (for benchmarks and tests).
uint64_t Switches();

// Stops the process with a message: the simulation's verdict on a fault.
[[noreturn]] void Fail(const std::string& message);

}  // namespace winsim::host
