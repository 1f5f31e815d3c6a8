// Local heap blocks: tracked, so that a double free or a block a scenario
// never frees is found.
#include "winsim/user/localmem.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "winsim/kernel/sim.h"
#include "winsim/user/errors.h"
#include "winsim/user/fault.h"

namespace {

std::set<void*>& Blocks() {
  static std::set<void*> blocks;
  return blocks;
}

void ResetBlocks() {
  for (void* b : Blocks()) std::free(b);
  Blocks().clear();
}

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if ((uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) != LMEM_FIXED) {
    winsim::user::ProgramFault("LocalAlloc", "only fixed blocks are modelled");
  }
  static bool registered = false;
  if (!registered) {
    winsim::kernel::RegisterRunState("local memory block(s)", ResetBlocks,
                                     [] { return static_cast<LONG>(Blocks().size()); });
    registered = true;
  }
  void* block = std::malloc(uBytes == 0 ? 1 : uBytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block, (uFlags & LMEM_ZEROINIT) ? 0 : 0xCD, uBytes);
  Blocks().insert(block);
  return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;
  auto it = Blocks().find(hMem);
  if (it == Blocks().end()) winsim::user::ProgramFault("LocalFree", "not a live local block");
  Blocks().erase(it);
  std::free(hMem);
  return nullptr;
}
