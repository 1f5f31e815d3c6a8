// The kernel handle table: handles opened by drivers (threads, registry keys,
// files), charged to the driver that opened them and closed with ZwClose.
#include <map>

#include "winsim/kernel/internal.h"

namespace winsim::kernel {
namespace {

// Kernel handles are small multiples of 4 handed out in order, so runs
// replay exactly.
std::map<ULONG_PTR, HandleEntry> g_handles;
ULONG_PTR g_nextHandle = 4;
void (*g_closers[3])(void*) = {};

void CloseThread(void* object) { ReleaseThreadObject(static_cast<ThreadObject*>(object)); }

}  // namespace

HANDLE InsertHandle(HandleKind kind, void* object, DriverRecord* owner) {
  ULONG_PTR value = g_nextHandle;
  g_nextHandle += 4;
  g_handles[value] = {kind, object, owner};
  return reinterpret_cast<HANDLE>(value);
}

const HandleEntry* FindHandle(HANDLE handle) {
  auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == g_handles.end() ? nullptr : &it->second;
}

void SetHandleCloser(HandleKind kind, void (*close)(void* object)) {
  g_closers[static_cast<int>(kind)] = close;
}

LONG LiveHandles(DriverRecord* driver) {
  LONG n = 0;
  for (const auto& [value, entry] : g_handles) {
    if (entry.owner == driver) ++n;
  }
  return n;
}

LONG LiveKernelHandles() { return static_cast<LONG>(g_handles.size()); }

void ResetHandles() {
  g_handles.clear();
  g_nextHandle = 4;
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

NTSTATUS ZwClose(HANDLE Handle) {
  RequireIrqlAtMost("ZwClose", PASSIVE_LEVEL);
  auto it = g_handles.find(reinterpret_cast<ULONG_PTR>(Handle));
  if (it == g_handles.end()) Violation("ZwClose", nullptr, "closed a handle that is not open");
  HandleEntry entry = it->second;
  g_handles.erase(it);
  if (entry.kind == HandleKind::kThread) {
    CloseThread(entry.object);
  } else if (auto close = g_closers[static_cast<int>(entry.kind)]) {
    close(entry.object);
  }
  return STATUS_SUCCESS;
}
