// Events, waits on one or several dispatcher objects, delays and time.
#include <string>

#include "winsim/kernel/internal.h"

namespace winsim::kernel {

struct WaitState {
  ThreadObject* thread;
  WAIT_TYPE type;
  ULONG count;
  PVOID* objects;
  PKWAIT_BLOCK blocks;
  LONG satisfied = -1;  // index for WaitAny, 0 for WaitAll
};

namespace {

// Virtual system time starts at 2026-01-01 00:00 UTC (100 ns since 1601).
constexpr LONGLONG kEpoch = 134116992000000000LL;
constexpr ULONG kTickLength = 156250;  // 15.625 ms, the default clock tick

DISPATCHER_HEADER* HeaderOf(PVOID object, const char* call) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  if (header == nullptr || header->WaitListHead.Flink == nullptr) {
    Violation(call, nullptr, "object was not initialised (KeInitializeEvent missing?)");
  }
  if (header->Type != kNotificationEventType && header->Type != kSynchronizationEventType &&
      header->Type != kThreadType) {
    Violation(call, nullptr, "not a dispatcher object");
  }
  return header;
}

bool Signalled(const DISPATCHER_HEADER* h) { return h->SignalState > 0; }

void Consume(DISPATCHER_HEADER* h) {
  if (h->Type == kSynchronizationEventType) h->SignalState = 0;
}

// Tries to satisfy a wait from the objects' current states.
bool TrySatisfy(WaitState& w) {
  if (w.type == WaitAny) {
    for (ULONG i = 0; i < w.count; ++i) {
      auto* h = static_cast<DISPATCHER_HEADER*>(w.objects[i]);
      if (Signalled(h)) {
        Consume(h);
        w.satisfied = static_cast<LONG>(i);
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < w.count; ++i) {
    if (!Signalled(static_cast<DISPATCHER_HEADER*>(w.objects[i]))) return false;
  }
  for (ULONG i = 0; i < w.count; ++i) Consume(static_cast<DISPATCHER_HEADER*>(w.objects[i]));
  w.satisfied = 0;
  return true;
}

void Unlink(WaitState& w) {
  for (ULONG i = 0; i < w.count; ++i) RemoveEntryList(&w.blocks[i].WaitListEntry);
}

std::optional<uint64_t> DeadlineOf(PLARGE_INTEGER timeout) {
  if (timeout == nullptr) return std::nullopt;
  LONGLONG t = timeout->QuadPart;
  if (t <= 0) return host::Now() + static_cast<uint64_t>(-t);
  LONGLONG since = t - kEpoch;
  return since <= 0 ? host::Now() : static_cast<uint64_t>(since);
}

void CheckWaitIrql(const char* call, PLARGE_INTEGER timeout) {
  bool polling = timeout != nullptr && timeout->QuadPart == 0;
  if (!polling && CurrentIrql() >= DISPATCH_LEVEL) {
    Violation(call, nullptr,
              std::string("waited ") +
                  (timeout ? "with a non-zero time-out" : "without a time-out") + " at IRQL " +
                  std::to_string(CurrentIrql()) + " (DISPATCH_LEVEL or above)");
  }
  if (polling && CurrentIrql() > DISPATCH_LEVEL) {
    Violation(call, nullptr, "waited above DISPATCH_LEVEL");
  }
}

std::string Describe(const WaitState& w) {
  std::string text = w.count == 1 ? "" : (w.type == WaitAll ? "all of " : "any of ");
  for (ULONG i = 0; i < w.count; ++i) {
    auto* h = static_cast<DISPATCHER_HEADER*>(w.objects[i]);
    char buf[96];
    if (h->Type == kThreadType) {
      auto* t = reinterpret_cast<ThreadObject*>(h);
      std::snprintf(buf, sizeof buf, "thread '%s'",
                    t->host ? host::Name(t->host).c_str() : "(not started)");
    } else {
      std::snprintf(buf, sizeof buf, "%s event %p",
                    h->Type == kNotificationEventType ? "notification" : "synchronization",
                    static_cast<void*>(h));
    }
    text += (i ? ", " : "") + std::string(buf);
  }
  if (w.thread->driver != nullptr) text += " (in " + w.thread->driver->label + ")";
  return text;
}

NTSTATUS Wait(const char* call, WaitState& w, PLARGE_INTEGER timeout) {
  CheckWaitIrql(call, timeout);
  SchedulePoint();
  if (TrySatisfy(w)) return STATUS_WAIT_0 + w.satisfied;
  std::optional<uint64_t> deadline = DeadlineOf(timeout);
  if (deadline && *deadline <= host::Now()) return STATUS_TIMEOUT;
  for (ULONG i = 0; i < w.count; ++i) {
    KWAIT_BLOCK& b = w.blocks[i];
    b.Thread = w.thread;
    b.Object = w.objects[i];
    b.WaitKey = static_cast<USHORT>(i);
    b.WaitType = static_cast<UCHAR>(w.type);
    InsertTailList(&static_cast<DISPATCHER_HEADER*>(w.objects[i])->WaitListHead, &b.WaitListEntry);
  }
  w.thread->wait = &w;
  // A thread still blocked when its run ends is unwound out of Block(); its
  // wait blocks live in this frame and must not stay on the objects' lists,
  // or the next signal of one of them (a thread object ending, say) walks a
  // dead frame.
  struct Withdraw {
    WaitState& w;
    ~Withdraw() {
      w.thread->wait = nullptr;
      if (w.satisfied < 0) Unlink(w);
    }
  } withdraw{w};
  host::WakeReason reason = host::Block(std::string(call) + " on " + Describe(w), deadline);
  if (reason == host::WakeReason::kTimedOut && w.satisfied < 0) return STATUS_TIMEOUT;
  return STATUS_WAIT_0 + w.satisfied;
}

}  // namespace

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
  header->Type = type;
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
}

void SatisfyWaiters(DISPATCHER_HEADER* header) {
  PLIST_ENTRY entry = header->WaitListHead.Flink;
  while (entry != &header->WaitListHead && Signalled(header)) {
    PLIST_ENTRY next = entry->Flink;
    auto* block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
    WaitState* w = block->Thread->wait;
    if (w != nullptr && w->satisfied < 0 && TrySatisfy(*w)) {
      Unlink(*w);
      host::Wake(block->Thread->host);
      // Unlinking may have removed `next` too (a thread waiting on this object
      // twice); restart from the head, which only holds unsatisfied waits.
      next = header->WaitListHead.Flink;
    }
    entry = next;
  }
}

}  // namespace winsim::kernel

using namespace winsim::kernel;
namespace host = winsim::host;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitializeHeader(&Event->Header,
                   Type == NotificationEvent ? kNotificationEventType : kSynchronizationEventType,
                   State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, LONG, BOOLEAN) {
  RequireIrqlAtMost("KeSetEvent", DISPATCH_LEVEL);
  DISPATCHER_HEADER* h = HeaderOf(Event, "KeSetEvent");
  SchedulePoint();
  LONG previous = h->SignalState;
  h->SignalState = 1;
  SatisfyWaiters(h);
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  RequireIrqlAtMost("KeResetEvent", DISPATCH_LEVEL);
  DISPATCHER_HEADER* h = HeaderOf(Event, "KeResetEvent");
  SchedulePoint();
  LONG previous = h->SignalState;
  h->SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) { return HeaderOf(Event, "KeReadStateEvent")->SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
  HeaderOf(Object, "KeWaitForSingleObject");
  KWAIT_BLOCK block{};
  PVOID objects[1] = {Object};
  WaitState w{CurrentThreadObject(), WaitAny, 1, objects, &block};
  return Wait("KeWaitForSingleObject", w, Timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  const char* call = "KeWaitForMultipleObjects";
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
    Violation(call, nullptr, "object count " + std::to_string(Count) + " is outside 1..64");
  }
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
    Violation(call, nullptr,
              "more than THREAD_WAIT_OBJECTS objects need a caller-supplied wait block array");
  }
  for (ULONG i = 0; i < Count; ++i) HeaderOf(Object[i], call);
  KWAIT_BLOCK builtin[THREAD_WAIT_OBJECTS]{};
  WaitState w{CurrentThreadObject(), WaitType, Count, Object,
              WaitBlockArray ? WaitBlockArray : builtin};
  return Wait(call, w, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (CurrentIrql() > APC_LEVEL) {
    Violation("KeDelayExecutionThread", nullptr, "called above APC_LEVEL");
  }
  SchedulePoint();
  std::optional<uint64_t> deadline = DeadlineOf(Interval);
  if (deadline && *deadline > host::Now()) {
    host::Block("KeDelayExecutionThread (until " + std::to_string(*deadline) + ")", deadline);
  }
  return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kEpoch + static_cast<LONGLONG>(host::Now());
}
VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(host::Now() / kTickLength);
}
ULONG KeQueryTimeIncrement(void) { return kTickLength; }
ULONGLONG KeQueryInterruptTime(void) { return host::Now(); }

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  // Another processor may run meanwhile; this one only lets time pass.
  uint64_t until = host::Now() + uint64_t{MicroSeconds} * 10;
  host::Block("KeStallExecutionProcessor", until);
}
