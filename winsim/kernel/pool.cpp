// Pool allocation with tags, charged to the driver whose code allocates.
#include <cstdlib>
#include <cstring>

#include "winsim/kernel/internal.h"
#include "winsim/kernel/sim.h"

namespace winsim::kernel {
namespace {

constexpr ULONG kLive = 0x4C4F4F50;   // "POOL"
constexpr ULONG kFreed = 0x45455246;  // "FREE"

struct alignas(16) BlockHeader {
  ULONG magic;
  ULONG tag;
  POOL_TYPE type;
  SIZE_T size;
  DriverRecord* owner;
  BlockHeader* prev;
  BlockHeader* next;
};

BlockHeader* g_blocks = nullptr;
// Freed blocks wait here a while before going back to the host, so a second
// free of a recent block is caught by its header, not by chance.
constexpr size_t kQuarantine = 256;
BlockHeader* g_quarantine[kQuarantine];
size_t g_quarantineNext = 0;

void Quarantine(BlockHeader* b) {
  std::free(g_quarantine[g_quarantineNext]);
  g_quarantine[g_quarantineNext] = b;
  g_quarantineNext = (g_quarantineNext + 1) % kQuarantine;
}
std::function<bool(const PoolRequest&)> g_failPolicy;

void Link(BlockHeader* b) {
  b->prev = nullptr;
  b->next = g_blocks;
  if (g_blocks) g_blocks->prev = b;
  g_blocks = b;
}

void Unlink(BlockHeader* b) {
  if (b->prev) b->prev->next = b->next;
  if (b->next) b->next->prev = b->prev;
  if (g_blocks == b) g_blocks = b->next;
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return "'" + text + "'";
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

BlockHeader* HeaderOf(const char* call, PVOID p) {
  if (p == nullptr) Violation(call, nullptr, "freed a NULL pointer");
  auto* b = static_cast<BlockHeader*>(p) - 1;
  if (b->magic == kFreed) Violation(call, nullptr, "freed a pool block twice");
  if (b->magic != kLive) Violation(call, nullptr, "freed memory that is not a pool block");
  return b;
}

}  // namespace

void* KernelAlloc(SIZE_T size) {
  void* p = std::calloc(1, size);
  if (p == nullptr) host::Fail("winsim: the host is out of memory");
  return p;
}
void KernelFree(void* block) { std::free(block); }

void ResetPool() {
  while (g_blocks) {
    BlockHeader* b = g_blocks;
    Unlink(b);
    std::free(b);
  }
  for (auto& b : g_quarantine) {
    std::free(b);
    b = nullptr;
  }
  g_failPolicy = nullptr;
}

LONG LivePoolBlocks() {
  LONG n = 0;
  for (BlockHeader* b = g_blocks; b != nullptr; b = b->next) ++n;
  return n;
}

std::string LeakedBlocks(const DriverRecord* driver) {
  std::string text;
  int shown = 0;
  for (BlockHeader* b = g_blocks; b != nullptr; b = b->next) {
    if (b->owner != driver) continue;
    if (shown++ == 8) {
      text += " ...";
      break;
    }
    text += " " + TagText(b->tag) + ":" + std::to_string(b->size);
  }
  return text;
}

void SetPoolFailurePolicy(std::function<bool(const PoolRequest&)> policy) {
  g_failPolicy = std::move(policy);
}

}  // namespace winsim::kernel

using namespace winsim::kernel;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  const char* call = "ExAllocatePoolWithTag";
  RequireIrqlAtMost(call, IsPaged(PoolType) ? APC_LEVEL : DISPATCH_LEVEL);
  SchedulePoint();
  DriverRecord* owner = CurrentDriver();
  if (g_failPolicy &&
      g_failPolicy(PoolRequest{owner ? owner->label : "", PoolType, NumberOfBytes, Tag})) {
    return nullptr;
  }
  auto* b = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + NumberOfBytes));
  if (b == nullptr) return nullptr;
  *b = BlockHeader{kLive, Tag, PoolType, NumberOfBytes, owner, nullptr, nullptr};
  Link(b);
  if (owner) owner->poolBlocks++;
  // Pool is not zeroed: fill it so code relying on zeroes shows up.
  std::memset(b + 1, 0xCD, NumberOfBytes);
  return b + 1;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // "None"
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  const char* call = "ExFreePoolWithTag";
  RequireIrqlAtMost(call, DISPATCH_LEVEL);
  BlockHeader* b = HeaderOf(call, P);
  if (Tag != 0 && Tag != b->tag) {
    Violation(call, nullptr,
              "freed a block tagged " + TagText(b->tag) + " with tag " + TagText(Tag));
  }
  if (IsPaged(b->type)) RequireIrqlAtMost(call, APC_LEVEL);
  SchedulePoint();
  Unlink(b);
  if (b->owner) b->owner->poolBlocks--;
  b->magic = kFreed;
  std::memset(b + 1, 0xDD, b->size);
  Quarantine(b);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
