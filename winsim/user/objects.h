// Handles the programs' side of the stand-in hands out for objects the
// kernel does not keep: registry keys, tokens, regular files, file searches.
// Their values never collide with the kernel's process handles, and what a
// scenario leaves open is counted for CheckCleanMachine under the type's
// name. Internal to winsim/user.
#pragma once
#include <functional>
#include <memory>

#include "winsim/user/types.h"

namespace winsim::user {

enum class ObjectType { kKey, kToken, kFile, kFind };

struct Object {
  virtual ~Object() = default;
};

HANDLE InsertObject(ObjectType type, std::unique_ptr<Object> object);

// The object behind `handle` when it is one of `type`, else nullptr.
Object* FindObject(HANDLE handle, ObjectType type);

template <typename T>
T* Find(HANDLE handle, ObjectType type) {
  return static_cast<T*>(FindObject(handle, type));
}

// Destroys the object; false when `handle` is no object of `type`.
bool RemoveObject(HANDLE handle, ObjectType type);

// Calls `fn` for each live object of `type`.
void ForEachObject(ObjectType type, const std::function<void(Object*)>& fn);

}  // namespace winsim::user
