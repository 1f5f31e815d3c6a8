// A simulation run of the kernel: per-thread state set up, everything the
// run left behind dropped afterwards.
#include "winsim/kernel/fileio.h"
#include "winsim/kernel/internal.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {

void OnThreadExit(host::Thread* thread);
void RegisterKeyCloser();
void ResetPnp();
void ResetFileIo();
void ResetPower();
void ResetInterfaces();

namespace {

struct RunState {
  std::string what;
  std::function<void()> reset;
  std::function<LONG()> live;
};
std::vector<RunState>& RunStates() {
  static std::vector<RunState> states;
  return states;
}

}  // namespace

void RegisterRunState(const std::string& what, std::function<void()> reset,
                      std::function<LONG()> live) {
  for (RunState& s : RunStates()) {
    if (s.what == what) {
      s = {what, std::move(reset), std::move(live)};
      return;
    }
  }
  RunStates().push_back({what, std::move(reset), std::move(live)});
}

void Run(uint64_t seed, std::function<void()> scenario) {
  host::SetThreadExitHook(OnThreadExit);
  RegisterKeyCloser();
  host::Run(seed, std::move(scenario));
  ResetFileIo();
  ResetPnp();
  ResetPower();
  ResetInterfaces();
  registry::Reset();
  ResetIoState();
  ResetMdls();
  ResetHandles();
  ResetThreads();
  ResetObjects();
  ResetSpinLocks();
  ResetPool();
  for (RunState& s : RunStates()) s.reset();
}

void CheckCleanMachine() {
  std::string left;
  auto note = [&](LONG n, const char* what) {
    if (n != 0) left += " " + std::to_string(n) + " " + what;
  };
  note(LiveIrps(), "request(s)");
  note(LiveMdls(), "MDL(s)");
  note(LivePoolBlocks(), "pool block(s)");
  note(RunningSystemThreads(), "running system thread(s)");
  note(LiveKernelHandles(), "kernel handle(s)");
  note(registry::OpenKeyCount(), "open registry key(s)");
  note(static_cast<LONG>(SymbolicLinks().size()), "symbolic link(s)");
  note(OpenProcessHandles(), "program handle(s)");
  note(LiveFileObjects(), "file object(s)");
  for (RunState& s : RunStates()) note(s.live(), s.what.c_str());
  if (!left.empty()) Violation("machine teardown", nullptr, "left behind:" + left);
}

host::Thread* StartThread(std::string name, std::function<void()> body) {
  return host::Spawn(std::move(name), host::ThreadKind::kForeground, std::move(body));
}

}  // namespace winsim::kernel
