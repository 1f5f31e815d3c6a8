// System threads, the current thread's kernel state, object references and
// kernel handles.
#include "winsim/kernel/internal.h"

struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE g_threadType{"Thread"};
_OBJECT_TYPE g_eventType{"Event"};
_OBJECT_TYPE g_fileType{"File"};
POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE g_fileTypePtr = &g_fileType;
}  // namespace

POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;

namespace winsim::kernel {

namespace {

std::vector<ThreadObject*> g_threadObjects;

// Thrown by PsTerminateSystemThread to leave the start routine.
struct ThreadExit {};

ThreadObject* NewThreadObject(host::Thread* host) {
  auto* ethread = new _ETHREAD{};
  ThreadObject* t = &ethread->Tcb;
  InitializeHeader(&t->Header, kThreadType, 0);
  t->refs = 1;  // held by the running thread until it ends
  t->host = host;
  g_threadObjects.push_back(t);
  return t;
}

void CheckCleanExit(ThreadObject* t) {
  if (t->spinLocksHeld != 0) {
    Violation("thread exit", nullptr,
              "thread '" + host::Name(t->host) + "' ended holding " +
                  std::to_string(t->spinLocksHeld) + " spin lock(s)");
  }
  if (t->irql != PASSIVE_LEVEL) {
    Violation("thread exit", nullptr,
              "thread '" + host::Name(t->host) + "' ended at IRQL " + std::to_string(t->irql));
  }
}

}  // namespace

ThreadObject* CurrentThreadObject() {
  host::Thread* h = host::Current();
  if (h == nullptr) host::Fail("winsim: a kernel call was made outside a simulation run");
  auto* t = static_cast<ThreadObject*>(host::Slot(h));
  if (t == nullptr) {
    t = NewThreadObject(h);
    host::SetSlot(h, t);
  }
  return t;
}

KIRQL& CurrentIrql() { return CurrentThreadObject()->irql; }
LONG& SpinLocksHeld() { return CurrentThreadObject()->spinLocksHeld; }
DriverRecord* CurrentDriver() { return CurrentThreadObject()->driver; }

DriverScope::DriverScope(DriverRecord* driver) {
  ThreadObject* t = CurrentThreadObject();
  saved_ = t->driver;
  t->driver = driver;
}
DriverScope::~DriverScope() { CurrentThreadObject()->driver = saved_; }

void ReleaseThreadObject(ThreadObject* t) {
  if (--t->refs > 0) return;
  for (auto& slot : g_threadObjects) {
    if (slot == t) slot = nullptr;
  }
  delete reinterpret_cast<_ETHREAD*>(t);
}

// Runs when any simulated thread's body ends, normally or unwound.
void OnThreadExit(host::Thread* h) {
  auto* t = static_cast<ThreadObject*>(host::Slot(h));
  if (t == nullptr) return;
  t->ended = true;
  if (t->creator != nullptr) t->creator->threads--;
  t->Header.SignalState = 1;
  SatisfyWaiters(&t->Header);
  host::SetSlot(h, nullptr);
  ReleaseThreadObject(t);
}

LONG RunningSystemThreads() {
  LONG n = 0;
  for (ThreadObject* t : g_threadObjects) {
    if (t != nullptr && t->creator != nullptr && !t->ended) ++n;
  }
  return n;
}

void ResetThreads() {
  for (ThreadObject* t : g_threadObjects) {
    if (t != nullptr) delete reinterpret_cast<_ETHREAD*>(t);
  }
  g_threadObjects.clear();
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  RequireIrqlAtMost("PsCreateSystemThread", PASSIVE_LEVEL);
  if (ThreadHandle == nullptr || StartRoutine == nullptr) {
    Violation("PsCreateSystemThread", nullptr, "no handle pointer or no start routine");
  }
  DriverRecord* creator = CurrentDriver();
  std::string name = (creator ? creator->label : std::string("kernel")) + " system thread";
  ThreadObject* t = NewThreadObject(nullptr);
  t->creator = creator;
  t->priority = 8;
  t->refs++;  // the handle
  HANDLE handle = InsertHandle(HandleKind::kThread, t, creator);
  if (creator != nullptr) creator->threads++;
  *ThreadHandle = handle;
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
    ClientId->UniqueThread = handle;
  }
  // The object knows its host thread from here on, before the thread first
  // runs, so a wait on it names the thread.
  t->host = winsim::host::Spawn(name, winsim::host::ThreadKind::kService, [=] {
    t->host = winsim::host::Current();
    winsim::host::SetSlot(t->host, t);
    t->driver = creator;
    try {
      StartRoutine(StartContext);
    } catch (const ThreadExit&) {
    }
    CheckCleanExit(t);
  });
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  ThreadObject* t = CurrentThreadObject();
  if (t->creator == nullptr) {
    Violation(
        "PsTerminateSystemThread", nullptr,
        "called from thread '" + winsim::host::Name(t->host) + "', which is not a system thread");
  }
  CheckCleanExit(t);
  t->exitStatus = ExitStatus;
  throw ThreadExit{};
}

PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(CurrentThreadObject()); }
PKTHREAD KeGetCurrentThread(void) { return CurrentThreadObject(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  RequireIrqlAtMost("KeSetPriorityThread", PASSIVE_LEVEL);
  if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
    Violation("KeSetPriorityThread", nullptr,
              "priority " + std::to_string(Priority) + " is outside 0..31");
  }
  KPRIORITY old = Thread->priority;
  Thread->priority = Priority;
  return old;
}
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE, PVOID* Object, PVOID) {
  RequireIrqlAtMost("ObReferenceObjectByHandle", PASSIVE_LEVEL);
  const HandleEntry* entry = FindHandle(Handle);
  if (entry == nullptr) return STATUS_INVALID_HANDLE;
  if (entry->kind != HandleKind::kThread) return STATUS_OBJECT_TYPE_MISMATCH;
  if (ObjectType != nullptr && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  auto* t = static_cast<ThreadObject*>(entry->object);
  t->refs++;
  *Object = reinterpret_cast<PETHREAD>(t);
  return STATUS_SUCCESS;
}

namespace {
constexpr UCHAR kDeviceObjectTag = 3;  // DEVICE_OBJECT.Type
bool IsDevice(PVOID Object) { return *static_cast<UCHAR*>(Object) == kDeviceObjectTag; }
}  // namespace

LONG_PTR ObfReferenceObject(PVOID Object) {
  if (Object != nullptr && IsDevice(Object)) {
    return ++RecordOf(static_cast<PDEVICE_OBJECT>(Object))->refs;
  }
  auto* t = static_cast<ThreadObject*>(Object);
  if (t == nullptr || t->Header.Type != kThreadType) {
    Violation("ObfReferenceObject", nullptr, "not an object this kernel reference-counts");
  }
  return ++t->refs;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  if (Object != nullptr && IsDevice(Object)) {
    DeviceRecord* d = RecordOf(static_cast<PDEVICE_OBJECT>(Object));
    if (d->refs <= 0) {
      Violation("ObfDereferenceObject", nullptr,
                "dereferenced a device object it holds no "
                "reference to");
    }
    LONG_PTR left = --d->refs;
    PoisonIfGone(static_cast<PDEVICE_OBJECT>(Object));
    return left;
  }
  auto* t = static_cast<ThreadObject*>(Object);
  if (t == nullptr || t->Header.Type != kThreadType || t->refs <= 0) {
    Violation("ObfDereferenceObject", nullptr, "dereferenced an object that holds no reference");
  }
  LONG_PTR left = t->refs - 1;
  ReleaseThreadObject(t);
  return left;
}
