// A simulation run of the kernel: per-thread state set up, everything the
// run left behind dropped afterwards.
#include "winsim/kernel/internal.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {

void OnThreadExit(host::Thread* thread);
void RegisterKeyCloser();
void ResetPnp();
void ResetPower();
void ResetInterfaces();

void Run(uint64_t seed, std::function<void()> scenario) {
  host::SetThreadExitHook(OnThreadExit);
  RegisterKeyCloser();
  host::Run(seed, std::move(scenario));
  ResetPnp();
  ResetPower();
  ResetInterfaces();
  registry::Reset();
  ResetIoState();
  ResetHandles();
  ResetThreads();
  ResetObjects();
  ResetSpinLocks();
  ResetPool();
}

host::Thread* StartThread(std::string name, std::function<void()> body) {
  return host::Spawn(std::move(name), host::ThreadKind::kForeground, std::move(body));
}

}  // namespace winsim::kernel
