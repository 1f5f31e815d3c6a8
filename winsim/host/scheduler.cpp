#include "winsim/host/scheduler.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace winsim::host {

namespace {

enum class State { kRunnable, kBlocked, kFinished };

// Thrown into a thread that outlives the run, to unwind it.
struct Unwind {};

}  // namespace

struct Thread {
  std::string name;
  ThreadKind kind;
  std::function<void()> body;
  State state = State::kRunnable;
  std::optional<uint64_t> deadline;
  std::string waitingFor;
  WakeReason reason = WakeReason::kSignalled;
  bool unwinding = false;
  void* slot = nullptr;
  // Released once each time the baton is handed to this thread.
  std::binary_semaphore turn{0};
  std::thread os;
};

namespace {

struct Scheduler {
  std::mutex lock;
  std::vector<std::unique_ptr<Thread>> threads;
  Thread* current = nullptr;
  uint64_t now = 0;
  uint64_t seed = 0;
  uint64_t rng = 0;
  uint64_t switches = 0;
  bool finished = false;
  std::condition_variable done;
};

Scheduler* g_sched = nullptr;
std::function<void(Thread*)> g_exitHook;
thread_local Thread* t_self = nullptr;

uint64_t NextRandom(Scheduler& s) {
  // splitmix64: cheap, and every seed gives a distinct stream.
  uint64_t z = (s.rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Scheduler& Sched() {
  if (g_sched == nullptr || t_self == nullptr) {
    Fail("winsim: a kernel call was made outside a simulation run");
  }
  return *g_sched;
}

std::string DeadlockReport(const Scheduler& s) {
  std::string report =
      "winsim: deadlock: every thread waits, no time-out is left, and a foreground thread "
      "has not finished\n";
  for (const auto& t : s.threads) {
    if (t->state != State::kBlocked) continue;
    report += "  thread '" + t->name + "' (" +
              (t->kind == ThreadKind::kForeground ? "foreground" : "service") +
              ") waits for " + t->waitingFor + "\n";
  }
  // The seed replays the interleaving; a seed loop cannot report it once aborted.
  return report + "  seed: " + std::to_string(s.seed);
}

bool ForegroundLeft(const Scheduler& s) {
  for (const auto& t : s.threads) {
    if (t->kind == ThreadKind::kForeground && t->state != State::kFinished) return true;
  }
  return false;
}

// Wakes every blocked thread whose deadline is the earliest one, moving the
// clock there. Returns false when no deadline is left.
bool AdvanceClock(Scheduler& s) {
  std::optional<uint64_t> earliest;
  for (const auto& t : s.threads) {
    if (t->state == State::kBlocked && t->deadline && (!earliest || *t->deadline < *earliest)) {
      earliest = t->deadline;
    }
  }
  if (!earliest) return false;
  if (*earliest > s.now) s.now = *earliest;
  for (const auto& t : s.threads) {
    if (t->state == State::kBlocked && t->deadline && *t->deadline <= s.now) {
      t->state = State::kRunnable;
      t->reason = WakeReason::kTimedOut;
    }
  }
  return true;
}

Thread* PickRunnable(Scheduler& s, Thread* self) {
  std::vector<Thread*> runnable;
  for (const auto& t : s.threads) {
    if (t->state == State::kRunnable) runnable.push_back(t.get());
  }
  if (runnable.empty()) return nullptr;
  if (s.seed == 0) {
    // Round robin from the thread after `self`, so no runnable thread starves.
    size_t start = 0;
    for (size_t i = 0; i < s.threads.size(); ++i) {
      if (s.threads[i].get() == self) start = i + 1;
    }
    for (size_t k = 0; k < s.threads.size(); ++k) {
      Thread* t = s.threads[(start + k) % s.threads.size()].get();
      if (t->state == State::kRunnable) return t;
    }
  }
  return runnable[NextRandom(s) % runnable.size()];
}

// Chooses who runs next once `self` can no longer run; nullptr ends the run.
Thread* ChooseNext(Scheduler& s, Thread* self) {
  for (;;) {
    if (Thread* next = PickRunnable(s, self)) return next;
    if (AdvanceClock(s)) continue;
    if (ForegroundLeft(s)) Fail(DeadlockReport(s));
    // The scenario is over: unwind the idle service threads one by one.
    for (const auto& t : s.threads) {
      if (t->state == State::kBlocked) {
        t->unwinding = true;
        t->state = State::kRunnable;
        return t.get();
      }
    }
    return nullptr;
  }
}

// Gives the baton to `next` and, unless `self` has finished, waits for it to
// come back. The lock is dropped before `next` is woken, so the woken thread
// never has to wait for it: one OS wake-up per hand-off. Only the baton holder
// touches the scheduler, so nothing changes between the unlock and its wake.
void HandOff(Scheduler& s, std::unique_lock<std::mutex>& held, Thread* self, Thread* next) {
  if (next != self) {
    ++s.switches;
    s.current = next;
    if (next == nullptr) {
      s.finished = true;
      s.done.notify_all();
      return;
    }
    bool finished = self->state == State::kFinished;
    held.unlock();
    next->turn.release();
    if (finished) return;
    self->turn.acquire();
    held.lock();
  }
  if (self->unwinding) throw Unwind{};
}

void ThreadMain(Scheduler* s, Thread* self) {
  t_self = self;
  self->turn.acquire();
  if (!self->unwinding) {
    try {
      self->body();
    } catch (const Unwind&) {
    } catch (const std::exception& e) {
      Fail("winsim: thread '" + self->name + "' ended with an exception: " + e.what());
    }
  }
  if (g_exitHook) g_exitHook(self);
  std::unique_lock<std::mutex> held(s->lock);
  self->state = State::kFinished;
  HandOff(*s, held, self, ChooseNext(*s, self));
}

Thread* AddThread(Scheduler& s, std::string name, ThreadKind kind, std::function<void()> body) {
  auto thread = std::make_unique<Thread>();
  thread->name = std::move(name);
  thread->kind = kind;
  thread->body = std::move(body);
  Thread* raw = thread.get();
  s.threads.push_back(std::move(thread));
  raw->os = std::thread(ThreadMain, &s, raw);
  return raw;
}

}  // namespace

void Run(uint64_t seed, std::function<void()> scenario) {
  if (g_sched != nullptr) Fail("winsim: simulation runs do not nest");
  Scheduler s;
  s.seed = seed;
  s.rng = seed;
  g_sched = &s;
  {
    std::unique_lock<std::mutex> held(s.lock);
    Thread* main = AddThread(s, "main", ThreadKind::kForeground, std::move(scenario));
    s.current = main;
    main->turn.release();
    s.done.wait(held, [&] { return s.finished; });
  }
  for (auto& t : s.threads) t->os.join();
  g_sched = nullptr;
}

Thread* Spawn(std::string name, ThreadKind kind, std::function<void()> body) {
  Scheduler& s = Sched();
  Thread* t;
  {
    std::lock_guard<std::mutex> held(s.lock);
    t = AddThread(s, std::move(name), kind, std::move(body));
  }
  Yield();
  return t;
}

Thread* Current() { return t_self; }

void Yield() {
  Scheduler& s = Sched();
  if (s.seed == 0) return;
  std::unique_lock<std::mutex> held(s.lock);
  // Switch at roughly one point in four: often enough to explore
  // interleavings, rarely enough that runs stay short.
  if (NextRandom(s) % 4 != 0) return;
  HandOff(s, held, t_self, PickRunnable(s, t_self));
}

WakeReason Block(std::string what, std::optional<uint64_t> deadline) {
  Scheduler& s = Sched();
  std::unique_lock<std::mutex> held(s.lock);
  Thread* self = t_self;
  if (deadline && *deadline <= s.now) return WakeReason::kTimedOut;
  self->state = State::kBlocked;
  self->deadline = deadline;
  self->waitingFor = std::move(what);
  HandOff(s, held, self, ChooseNext(s, self));
  self->deadline.reset();
  return self->reason;
}

void Wake(Thread* thread) {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  if (thread->state != State::kBlocked) return;
  thread->state = State::kRunnable;
  thread->reason = WakeReason::kSignalled;
}

uint64_t Now() { return Sched().now; }
uint64_t Seed() { return g_sched ? g_sched->seed : 0; }
uint64_t Random() {
  Scheduler& s = Sched();
  std::lock_guard<std::mutex> held(s.lock);
  return NextRandom(s);
}

const std::string& Name(const Thread* thread) { return thread->name; }
ThreadKind Kind(const Thread* thread) { return thread->kind; }
bool Finished(const Thread* thread) { return thread->state == State::kFinished; }
void* Slot(const Thread* thread) { return thread->slot; }
void SetSlot(Thread* thread, void* value) { thread->slot = value; }

void SetThreadExitHook(std::function<void(Thread*)> hook) { g_exitHook = std::move(hook); }

uint64_t Switches() { return Sched().switches; }

void Fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace winsim::host
