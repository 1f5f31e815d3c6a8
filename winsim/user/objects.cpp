// The user-side handle table. Registry keys are counted by the registry
// store itself (its open-key count is part of the teardown check), so they
// are left out of the count made here.
#include "winsim/user/objects.h"

#include <functional>
#include <map>

#include "winsim/kernel/sim.h"

namespace winsim::user {
namespace {

// The kernel's process handles start at 0x10000 and grow by 4; these start
// far above and keep the low two bits clear, as handles do.
constexpr ULONG_PTR kFirstHandle = 0x40000000;

struct Entry {
  ObjectType type;
  std::unique_ptr<Object> object;
};

std::map<ULONG_PTR, Entry> g_objects;
ULONG_PTR g_next = kFirstHandle;

LONG LiveUncountedElsewhere() {
  LONG n = 0;
  for (const auto& [value, entry] : g_objects) {
    if (entry.type != ObjectType::kKey) ++n;
  }
  return n;
}

void Reset() {
  g_objects.clear();
  g_next = kFirstHandle;
}

}  // namespace

HANDLE InsertObject(ObjectType type, std::unique_ptr<Object> object) {
  static bool registered = false;
  if (!registered) {
    kernel::RegisterRunState("program object handle(s)", Reset, LiveUncountedElsewhere);
    registered = true;
  }
  ULONG_PTR value = g_next;
  g_next += 4;
  g_objects[value] = Entry{type, std::move(object)};
  return reinterpret_cast<HANDLE>(value);
}

Object* FindObject(HANDLE handle, ObjectType type) {
  auto it = g_objects.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == g_objects.end() || it->second.type != type) return nullptr;
  return it->second.object.get();
}

bool RemoveObject(HANDLE handle, ObjectType type) {
  auto it = g_objects.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == g_objects.end() || it->second.type != type) return false;
  g_objects.erase(it);
  return true;
}

void ForEachObject(ObjectType type, const std::function<void(Object*)>& fn) {
  for (auto& [value, entry] : g_objects) {
    if (entry.type == type) fn(entry.object.get());
  }
}

}  // namespace winsim::user
