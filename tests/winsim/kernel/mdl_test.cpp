// Memory descriptor lists: what they describe, where they map, partial MDLs
// over a source in windows, and the verifier's rules for all of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <vector>

#include "tests/winsim/kernel/test_drivers.h"

namespace {

using winsim::kernel::AsDriver;
using winsim::kernel::CountsOf;
using winsim::kernel::UnloadDriver;
using namespace winsim::testing;

constexpr ULONG kTag = Tag("Mdlt");

// Host memory on page boundaries, so that the pages a range spans are known.
class Pages {
 public:
  explicit Pages(size_t count)
      : bytes_(static_cast<UCHAR*>(std::aligned_alloc(PAGE_SIZE, count * PAGE_SIZE))) {}
  ~Pages() { std::free(bytes_); }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  UCHAR* at(size_t offset) const { return bytes_ + offset; }

 private:
  UCHAR* bytes_;
};

testing::AssertionResult HoldsNoMdl(PDRIVER_OBJECT driver) {
  LONG mdls = CountsOf(driver).mdls;
  if (mdls == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "driver still holds " << mdls << " MDL(s)";
}

TEST(Mdl, DescribesItsRangeWithOneEntryPerPageSpanned) {
  struct Case {
    const char* name;
    size_t offset;  // from a page boundary
    ULONG length;
    ULONG pages;
  } cases[] = {
      {"inside one page", 0, 600, 1},
      {"inside one page, not at its start", 100, 600, 1},
      {"across a page boundary", PAGE_SIZE - 10, 600, 2},
      {"exactly one page", 0, PAGE_SIZE, 1},
      {"one byte into a third page", 0, 2 * PAGE_SIZE + 1, 3},
  };
  for (const Case& c : cases) {
    RunCase(c.name, 0, [&] {
      Pages pages(4);
      PDRIVER_OBJECT driver = LoadScriptedDriver(L"mdluser");
      AsDriver(driver, [&] {
        PVOID va = pages.at(c.offset);
        EXPECT_EQ(MmSizeOfMdl(va, c.length), sizeof(MDL) + c.pages * sizeof(ULONG_PTR));
        PMDL mdl = IoAllocateMdl(va, c.length, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        EXPECT_EQ(CountsOf(driver).mdls, 1);
        EXPECT_EQ(mdl->Size, CSHORT(MmSizeOfMdl(va, c.length)));
        EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
        EXPECT_EQ(MmGetMdlByteCount(mdl), c.length);
        EXPECT_EQ(MmGetMdlByteOffset(mdl), c.offset % PAGE_SIZE);
        EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(va));
        IoFreeMdl(mdl);
      });
      EXPECT_TRUE(HoldsNoMdl(driver));
      UnloadDriver(driver);
    });
  }
}

TEST(Mdl, NonPagedPoolAndLockedPagesMapToTheAddressTheyDescribe) {
  RunCase("pool and locked pages", 0, [] {
    Pages pages(2);
    PDRIVER_OBJECT driver = LoadScriptedDriver(L"mdluser");
    AsDriver(driver, [&] {
      auto* pool = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 600, kTag));
      PMDL fromPool = IoAllocateMdl(pool, 600, FALSE, FALSE, nullptr);
      MmBuildMdlForNonPagedPool(fromPool);
      EXPECT_TRUE(fromPool->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
      EXPECT_EQ(MmGetSystemAddressForMdlSafe(fromPool, NormalPagePriority), pool);

      UCHAR* caller = pages.at(PAGE_SIZE - 20);
      PMDL locked = IoAllocateMdl(caller, 64, FALSE, FALSE, nullptr);
      MmProbeAndLockPages(locked, KernelMode, IoWriteAccess);
      EXPECT_TRUE(locked->MdlFlags & MDL_PAGES_LOCKED);
      EXPECT_TRUE(locked->MdlFlags & MDL_WRITE_OPERATION);
      auto* mapped = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority));
      EXPECT_EQ(mapped, caller);
      EXPECT_TRUE(locked->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
      // A second mapping is the first one.
      EXPECT_EQ(MmGetSystemAddressForMdlSafe(locked, NormalPagePriority), mapped);
      MmUnlockPages(locked);
      EXPECT_FALSE(locked->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));

      IoFreeMdl(locked);
      IoFreeMdl(fromPool);
      ExFreePoolWithTag(pool, kTag);
    });
    EXPECT_TRUE(HoldsNoMdl(driver));
    UnloadDriver(driver);
  });
}

// A driver passes a 600-byte transfer on in windows of at most 256 bytes,
// through one partial MDL built over the transfer's MDL for each window and
// prepared for reuse after it.
TEST(Mdl, OnePartialMdlStagesATransferInWindows) {
  constexpr ULONG kLength = 600;
  constexpr ULONG kWindow = 256;
  enum class Source { kNonPagedPool, kLockedPages, kLockedAndMappedPages };
  const std::pair<Source, const char*> kSources[] = {
      {Source::kNonPagedPool, "non-paged pool"},
      {Source::kLockedPages, "locked pages"},
      {Source::kLockedAndMappedPages, "locked pages mapped before staging"}};
  for (auto [source, sourceName] : kSources) {
    // A window of an unmapped source needs a mapping of its own; otherwise
    // the window shares the source's.
    const bool ownMapping = source == Source::kLockedPages;
    RunCase(sourceName, 0, [&] {
      Pages pages(2);
      PDRIVER_OBJECT driver = LoadScriptedDriver(L"stager");
      std::vector<UCHAR> received;
      std::vector<ULONG> windows;
      AsDriver(driver, [&] {
        UCHAR* data;
        PMDL whole;
        if (source == Source::kNonPagedPool) {
          data = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, kLength, kTag));
          whole = IoAllocateMdl(data, kLength, FALSE, FALSE, nullptr);
          MmBuildMdlForNonPagedPool(whole);
        } else {
          // Starts 300 bytes before a page boundary: the middle window spans two pages.
          data = pages.at(PAGE_SIZE - 300);
          whole = IoAllocateMdl(data, kLength, FALSE, FALSE, nullptr);
          MmProbeAndLockPages(whole, KernelMode, IoReadAccess);
          if (source == Source::kLockedAndMappedPages) {
            EXPECT_EQ(MmGetSystemAddressForMdlSafe(whole, NormalPagePriority), data);
          }
        }
        for (ULONG i = 0; i < kLength; ++i) data[i] = UCHAR(i * 7);
        // Sized for the whole transfer, so any window fits.
        PMDL partial = IoAllocateMdl(data, kLength, FALSE, FALSE, nullptr);

        for (ULONG offset = 0; offset < kLength;) {
          ULONG length = std::min(kWindow, kLength - offset);
          IoBuildPartialMdl(whole, partial, data + offset, length);
          EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
          EXPECT_EQ(MmGetMdlVirtualAddress(partial), data + offset);
          EXPECT_EQ(MmGetMdlByteCount(partial), length);
          auto* window =
              static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
          EXPECT_EQ(window, data + offset);
          EXPECT_EQ((partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0, ownMapping);
          received.insert(received.end(), window, window + length);
          windows.push_back(length);
          MmPrepareMdlForReuse(partial);
          offset += length;
        }
        // Length 0 means the rest of the source.
        IoBuildPartialMdl(whole, partial, data + 512, 0);
        EXPECT_EQ(MmGetMdlByteCount(partial), kLength - 512);
        MmPrepareMdlForReuse(partial);

        IoFreeMdl(partial);
        if (source == Source::kNonPagedPool) {
          IoFreeMdl(whole);
          ExFreePoolWithTag(data, kTag);
        } else {
          MmUnlockPages(whole);
          IoFreeMdl(whole);
        }
      });
      EXPECT_EQ(windows, (std::vector<ULONG>{256, 256, 88}));
      ASSERT_EQ(received.size(), kLength);
      for (ULONG i = 0; i < kLength; ++i) ASSERT_EQ(received[i], UCHAR(i * 7)) << "byte " << i;
      EXPECT_TRUE(HoldsNoMdl(driver));
      UnloadDriver(driver);
    });
  }
}

// ---- what the verifier stops ----------------------------------------------------

struct MdlFault {
  const char* name;
  // Runs as code of the driver "mdluser" over `pages` (three pages).
  std::function<void(UCHAR* pages)> misuse;
  const char* call;
  const char* what;
};

PMDL LockedMdl(PVOID va, ULONG length) {
  PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  return mdl;
}

const MdlFault kMdlFaults[] = {
    {"PartialStartsBeforeItsSource",
     [](UCHAR* p) {
       PMDL source = LockedMdl(p + 100, 600);
       IoBuildPartialMdl(source, IoAllocateMdl(p, 700, FALSE, FALSE, nullptr), p + 99, 16);
     },
     "IoBuildPartialMdl", "the address lies outside the source MDL"},
    {"PartialRunsPastTheEndOfItsSource",
     [](UCHAR* p) {
       PMDL source = LockedMdl(p + 100, 600);
       IoBuildPartialMdl(source, IoAllocateMdl(p, 700, FALSE, FALSE, nullptr), p + 690, 11);
     },
     "IoBuildPartialMdl", "the range runs past the end of the source MDL"},
    {"PartialTargetTooSmallForTheRange",
     [](UCHAR* p) {
       PMDL source = LockedMdl(p, 2 * PAGE_SIZE);
       // One page of room; the range straddles two pages.
       PMDL target = IoAllocateMdl(p, 16, FALSE, FALSE, nullptr);
       IoBuildPartialMdl(source, target, p + PAGE_SIZE - 8, 16);
     },
     "IoBuildPartialMdl", "the target MDL is too small for the range"},
    {"PartialOfPagesNeitherLockedNorNonPaged",
     [](UCHAR* p) {
       PMDL source = IoAllocateMdl(p, 600, FALSE, FALSE, nullptr);
       IoBuildPartialMdl(source, IoAllocateMdl(p, 600, FALSE, FALSE, nullptr), p, 16);
     },
     "IoBuildPartialMdl", "the source MDL's pages are neither locked nor non-paged"},
    {"MappedPartialReusedWithoutPreparing",
     [](UCHAR* p) {
       PMDL source = LockedMdl(p, 600);
       PMDL partial = IoAllocateMdl(p, 600, FALSE, FALSE, nullptr);
       IoBuildPartialMdl(source, partial, p, 256);
       MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
       IoBuildPartialMdl(source, partial, p + 256, 256);
     },
     "IoBuildPartialMdl", "reused a mapped partial MDL without MmPrepareMdlForReuse"},
    {"UnlockedPagesMapped",
     [](UCHAR* p) {
       MmGetSystemAddressForMdlSafe(IoAllocateMdl(p, 600, FALSE, FALSE, nullptr),
                                    NormalPagePriority);
     },
     "MmGetSystemAddressForMdlSafe", "mapped an MDL whose pages are neither locked nor non-paged"},
    {"LockedMdlFreed", [](UCHAR* p) { IoFreeMdl(LockedMdl(p, 600)); }, "IoFreeMdl",
     "freed an MDL whose pages are still locked"},
    {"PagesLockedTwice",
     [](UCHAR* p) { MmProbeAndLockPages(LockedMdl(p, 600), KernelMode, IoReadAccess); },
     "MmProbeAndLockPages", "locked the pages of an MDL twice"},
};

void PrintTo(const MdlFault& f, std::ostream* os) { *os << f.name; }

class MdlVerifier : public testing::TestWithParam<MdlFault> {};

TEST_P(MdlVerifier, StopsTheRunNamingCallAndDriver) {
  const MdlFault& f = GetParam();
  auto scenario = [&] {
    Pages pages(3);
    PDRIVER_OBJECT driver = LoadScriptedDriver(L"mdluser");
    AsDriver(driver, [&] { f.misuse(pages.at(0)); });
  };
  EXPECT_DEATH(winsim::kernel::Run(0, scenario), VerifierReport(f.call, f.what, "mdluser"));
}

INSTANTIATE_TEST_SUITE_P(Faults, MdlVerifier, testing::ValuesIn(kMdlFaults),
                         [](const testing::TestParamInfo<MdlFault>& info) {
                           return info.param.name;
                         });

}  // namespace
