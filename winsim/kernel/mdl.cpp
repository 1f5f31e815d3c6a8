// Memory descriptor lists. There are no physical pages here: an MDL names a
// range of host memory, and the verifier checks the rules of locking,
// mapping and partial MDLs.
#include "winsim/kernel/internal.h"

namespace winsim::kernel {
namespace {

constexpr ULONG kMdlMagic = 0x4C444D4D;  // "MMDL"
LONG g_liveMdls = 0;

struct alignas(16) MdlHeader {
  ULONG magic;
  DriverRecord* owner;
};

MdlHeader* HeaderOf(const char* call, PMDL mdl) {
  if (mdl == nullptr) Violation(call, nullptr, "NULL MDL");
  auto* h = reinterpret_cast<MdlHeader*>(mdl) - 1;
  if (h->magic != kMdlMagic) Violation(call, nullptr, "not an MDL from IoAllocateMdl");
  return h;
}

ULONG PageCapacity(const MDL* mdl) {
  return static_cast<ULONG>((mdl->Size - sizeof(MDL)) / sizeof(ULONG_PTR));
}

void Describe(PMDL mdl, PVOID va, ULONG length) {
  mdl->StartVa = PAGE_ALIGN(va);
  mdl->ByteOffset = BYTE_OFFSET(va);
  mdl->ByteCount = length;
}

}  // namespace

LONG LiveMdls() { return g_liveMdls; }
void ResetMdls() { g_liveMdls = 0; }
}  // namespace winsim::kernel

using namespace winsim::kernel;

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(ULONG_PTR);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
  RequireIrqlAtMost("IoAllocateMdl", DISPATCH_LEVEL);
  SchedulePoint();
  SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  if (size > 0x7FFF) return nullptr;  // MDL.Size is a CSHORT: about 32 MB at most
  auto* h = static_cast<MdlHeader*>(KernelAlloc(sizeof(MdlHeader) + size));
  h->magic = kMdlMagic;
  h->owner = CurrentDriver();
  if (h->owner) h->owner->mdls++;
  g_liveMdls++;
  auto* mdl = reinterpret_cast<PMDL>(h + 1);
  mdl->Size = static_cast<CSHORT>(size);
  Describe(mdl, VirtualAddress, Length);
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail) tail = &(*tail)->Next;
      *tail = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  const char* call = "IoFreeMdl";
  MdlHeader* h = HeaderOf(call, Mdl);
  if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) && !(Mdl->MdlFlags & MDL_PARTIAL)) {
    Violation(call, nullptr, "freed an MDL whose pages are still locked (MmUnlockPages first)");
  }
  if (h->owner) h->owner->mdls--;
  g_liveMdls--;
  h->magic = 0;
  KernelFree(h);
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl) {
  HeaderOf("MmBuildMdlForNonPagedPool", Mdl);
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION Operation) {
  RequireIrqlAtMost("MmProbeAndLockPages", DISPATCH_LEVEL);
  HeaderOf("MmProbeAndLockPages", Mdl);
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    Violation("MmProbeAndLockPages", nullptr, "locked the pages of an MDL twice");
  }
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) Mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID MmUnlockPages(PMDL Mdl) {
  HeaderOf("MmUnlockPages", Mdl);
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    Violation("MmUnlockPages", nullptr, "unlocked an MDL whose pages are not locked");
  }
  Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
  Mdl->MappedSystemVa = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
  const char* call = "MmGetSystemAddressForMdlSafe";
  HeaderOf(call, Mdl);
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return Mdl->MappedSystemVa;
  }
  if (Mdl->MdlFlags & MDL_PARTIAL) {
    Mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    return Mdl->MappedSystemVa;
  }
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    Violation(call, nullptr, "mapped an MDL whose pages are neither locked nor non-paged");
  }
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
  return Mdl->MappedSystemVa;
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  const char* call = "IoBuildPartialMdl";
  HeaderOf(call, SourceMdl);
  HeaderOf(call, TargetMdl);
  if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    Violation(call, nullptr, "the source MDL's pages are neither locked nor non-paged");
  }
  auto* start = static_cast<PUCHAR>(MmGetMdlVirtualAddress(SourceMdl));
  auto* end = start + SourceMdl->ByteCount;
  auto* va = static_cast<PUCHAR>(VirtualAddress);
  if (va < start || va > end) {
    Violation(call, nullptr, "the address lies outside the source MDL");
  }
  if (Length == 0) Length = static_cast<ULONG>(end - va);
  if (Length > static_cast<ULONG>(end - va)) {
    Violation(call, nullptr, "the range runs past the end of the source MDL");
  }
  if (ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, Length) > PageCapacity(TargetMdl)) {
    Violation(call, nullptr, "the target MDL is too small for the range");
  }
  if (TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    Violation(call, nullptr, "reused a mapped partial MDL without MmPrepareMdlForReuse");
  }
  Describe(TargetMdl, va, Length);
  // A partial MDL shares the source's system mapping when the source has one,
  // and then needs no mapping of its own.
  constexpr CSHORT kMapped = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
  TargetMdl->MdlFlags =
      static_cast<CSHORT>(MDL_PARTIAL | (SourceMdl->MdlFlags & (kMapped | MDL_WRITE_OPERATION)));
  TargetMdl->MappedSystemVa = (SourceMdl->MdlFlags & kMapped)
                                  ? static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + (va - start)
                                  : nullptr;
}

VOID MmPrepareMdlForReuse(PMDL Mdl) {
  HeaderOf("MmPrepareMdlForReuse", Mdl);
  if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    Mdl->MdlFlags &= ~MDL_PARTIAL_HAS_BEEN_MAPPED;
    Mdl->MappedSystemVa = nullptr;
  }
}
