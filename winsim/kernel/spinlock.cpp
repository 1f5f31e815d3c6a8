// IRQL, spin locks (including the cancel spin lock) and interlocked
// operations. A held spin lock makes a contending thread wait, as a second
// processor would spin.
#include <map>

#include "winsim/kernel/internal.h"

namespace winsim::kernel {
namespace {

std::map<PKSPIN_LOCK, std::vector<host::Thread*>> g_spinners;
KSPIN_LOCK g_cancelLock = 0;

ULONG_PTR Owner() { return reinterpret_cast<ULONG_PTR>(CurrentThreadObject()); }

std::string HolderName(KSPIN_LOCK value) {
  auto* t = reinterpret_cast<ThreadObject*>(value);
  return t->host ? host::Name(t->host) : "?";
}

void Take(const char* call, PKSPIN_LOCK lock) {
  SchedulePoint();
  while (*lock != 0) {
    if (*lock == Owner()) {
      Violation(call, nullptr, "acquired a spin lock this thread already holds (deadlock)");
    }
    g_spinners[lock].push_back(host::Current());
    char what[64];
    std::snprintf(what, sizeof what, "spin lock %p held by ", static_cast<void*>(lock));
    host::Block(what + HolderName(*lock), std::nullopt);
  }
  *lock = Owner();
  SpinLocksHeld()++;
}

void Give(const char* call, PKSPIN_LOCK lock) {
  if (*lock == 0) Violation(call, nullptr, "released a spin lock that is not held");
  if (*lock != Owner()) {
    Violation(call, nullptr, "released a spin lock held by thread '" + HolderName(*lock) + "'");
  }
  if (CurrentIrql() != DISPATCH_LEVEL) {
    Violation(call, nullptr,
              "released a spin lock at IRQL " + std::to_string(CurrentIrql()) +
                  " instead of DISPATCH_LEVEL");
  }
  *lock = 0;
  SpinLocksHeld()--;
  auto it = g_spinners.find(lock);
  if (it != g_spinners.end()) {
    for (host::Thread* t : it->second) host::Wake(t);
    g_spinners.erase(it);
  }
}

}  // namespace

void RequireIrqlAtMost(const char* call, KIRQL max) {
  KIRQL irql = CurrentIrql();
  if (irql > max) {
    Violation(call, nullptr,
              "called at IRQL " + std::to_string(irql) + "; at most " + std::to_string(max) +
                  " is allowed");
  }
}

void ResetSpinLocks() {
  g_spinners.clear();
  g_cancelLock = 0;
}

bool HoldsCancelLock() { return g_cancelLock == Owner(); }

}  // namespace winsim::kernel

using namespace winsim::kernel;

KIRQL KeGetCurrentIrql(void) { return CurrentIrql(); }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL& irql = CurrentIrql();
  if (NewIrql < irql) {
    Violation("KeRaiseIrql", nullptr,
              "raised IRQL from " + std::to_string(irql) + " down to " + std::to_string(NewIrql));
  }
  *OldIrql = irql;
  irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL& irql = CurrentIrql();
  if (NewIrql > irql) {
    Violation("KeLowerIrql", nullptr,
              "lowered IRQL from " + std::to_string(irql) + " up to " + std::to_string(NewIrql));
  }
  if (NewIrql < DISPATCH_LEVEL && SpinLocksHeld() > 0) {
    Violation("KeLowerIrql", nullptr, "lowered IRQL below DISPATCH_LEVEL holding a spin lock");
  }
  irql = NewIrql;
  SchedulePoint();
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  RequireIrqlAtMost("KeAcquireSpinLock", DISPATCH_LEVEL);
  KIRQL old = CurrentIrql();
  CurrentIrql() = DISPATCH_LEVEL;
  Take("KeAcquireSpinLock", SpinLock);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Give("KeReleaseSpinLock", SpinLock);
  KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    Violation("KeAcquireSpinLockAtDpcLevel", nullptr,
              "called at IRQL " + std::to_string(CurrentIrql()) + " instead of DISPATCH_LEVEL");
  }
  Take("KeAcquireSpinLockAtDpcLevel", SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Give("KeReleaseSpinLockFromDpcLevel", SpinLock);
  SchedulePoint();
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock); }

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  Give("IoReleaseCancelSpinLock", &g_cancelLock);
  KeLowerIrql(Irql);
}

// Each interlocked operation is a scheduling point before it takes effect, so
// seeds explore the orders in which racing updates land. One simulated thread
// runs at a time, so the update itself is atomic.
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  SchedulePoint();
  LONG old = *Addend;
  *Addend = old + Value;
  return old;
}
LONG InterlockedIncrement(LONG volatile* Addend) { return InterlockedExchangeAdd(Addend, 1) + 1; }
LONG InterlockedDecrement(LONG volatile* Addend) { return InterlockedExchangeAdd(Addend, -1) - 1; }

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  SchedulePoint();
  LONG old = *Target;
  *Target = Value;
  return old;
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  SchedulePoint();
  LONG old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}
LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  SchedulePoint();
  LONG old = *Destination;
  *Destination = old | Value;
  return old;
}
LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  SchedulePoint();
  LONG old = *Destination;
  *Destination = old & Value;
  return old;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  SchedulePoint();
  PVOID old = *Target;
  *Target = Value;
  return old;
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
  SchedulePoint();
  PVOID old = *Destination;
  if (old == Comparand) *Destination = Exchange;
  return old;
}
