// Private heaps and VirtualQuery, called as a library calls them: a C runtime creates its own
// heap and destroys it whole, and asks what memory it was given and what its image holds.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <string>

#include "loader/kernel32-linux.h"
#include "unit/kernel32_calls.h"

namespace quarry {
namespace {

using HeapAllocCall = void* MS_ABI(void*, Dword, std::size_t);
using HeapFreeCall = Bool MS_ABI(void*, Dword, void*);
using HeapSizeCall = std::size_t MS_ABI(void*, Dword, const void*);
using HeapReAllocCall = void* MS_ABI(void*, Dword, void*, std::size_t);

void* createHeap(Dword options, std::size_t maximum) {
  return shim<void * MS_ABI(Dword, std::size_t, std::size_t)>("HeapCreate")(options, 0, maximum);
}

Bool destroyHeap(void* heap) {
  return shim<Bool MS_ABI(void*)>("HeapDestroy")(heap);
}

// Blocks left in a heap go with it: the sanitizing build finds any that would leak.
TEST(Kernel32, PrivateHeapsAreDistinctAndDestroyedWithTheirBlocks) {
  const auto alloc = shim<HeapAllocCall>("HeapAlloc");
  const auto size = shim<HeapSizeCall>("HeapSize");
  const auto realloc = shim<HeapReAllocCall>("HeapReAlloc");
  void* process = shim<void * MS_ABI()>("GetProcessHeap")();
  void* first = createHeap(0, 0);
  void* second = createHeap(0, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_NE(first, process);
  auto* block = static_cast<std::uint8_t*>(alloc(first, 0x8, 24));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[23], 0);
  EXPECT_EQ(size(first, 0, block), 24u);
  EXPECT_EQ(size(second, 0, block), static_cast<std::size_t>(-1)) << "another heap's block";
  std::memset(block, 0x5A, 24);
  block = static_cast<std::uint8_t*>(realloc(first, 0x8, block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[23], 0x5A);
  EXPECT_EQ(block[4095], 0);
  EXPECT_EQ(size(first, 0, block), 4096u);
  for (int k = 0; k < 10; ++k) ASSERT_NE(alloc(first, 0, 100 + k), nullptr);
  ASSERT_NE(alloc(second, 0, 8), nullptr);
  EXPECT_EQ(destroyHeap(first), 1);
  EXPECT_EQ(destroyHeap(second), 1);
  clearLastError();
  EXPECT_EQ(alloc(first, 0, 8), nullptr) << "a destroyed heap";
  EXPECT_EQ(lastErrorAfterwards(), 6u);  // ERROR_INVALID_HANDLE
}

TEST(Kernel32, APrivateHeapFreesOnlyItsOwnBlocks) {
  const auto alloc = shim<HeapAllocCall>("HeapAlloc");
  const auto release = shim<HeapFreeCall>("HeapFree");
  void* heap = createHeap(0, 0);
  void* other = createHeap(0, 0);
  void* block = alloc(heap, 0, 32);
  ASSERT_NE(block, nullptr);
  clearLastError();
  EXPECT_EQ(release(other, 0, block), 0);
  EXPECT_EQ(lastErrorAfterwards(), 87u);  // ERROR_INVALID_PARAMETER
  EXPECT_EQ(release(heap, 0, nullptr), 1);
  EXPECT_EQ(release(heap, 0, block), 1);
  EXPECT_EQ(release(heap, 0, block), 0) << "freed twice";
  EXPECT_EQ(destroyHeap(heap), 1);
  EXPECT_EQ(destroyHeap(other), 1);
}

TEST(Kernel32, APrivateHeapWithAMaximumHoldsNoMore) {
  const auto alloc = shim<HeapAllocCall>("HeapAlloc");
  const auto realloc = shim<HeapReAllocCall>("HeapReAlloc");
  void* heap = createHeap(0, 4096);
  ASSERT_NE(heap, nullptr);
  void* big = alloc(heap, 0, 3000);
  ASSERT_NE(big, nullptr);
  clearLastError();
  EXPECT_EQ(alloc(heap, 0, 2000), nullptr);
  EXPECT_EQ(lastErrorAfterwards(), 8u);  // ERROR_NOT_ENOUGH_MEMORY
  EXPECT_EQ(realloc(heap, 0, big, 5000), nullptr);
  big = realloc(heap, 0, big, 1000);
  ASSERT_NE(big, nullptr);
  EXPECT_NE(alloc(heap, 0, 2000), nullptr) << "room came back when the block shrank";
  EXPECT_EQ(destroyHeap(heap), 1);
}

struct HeapRefusal {
  const char* name;
  std::function<bool()> refused;
  Dword error;
};

void PrintTo(const HeapRefusal& c, std::ostream* out) {
  *out << c.name;
}

class HeapRefusals : public ::testing::TestWithParam<HeapRefusal> {};

TEST_P(HeapRefusals, AnswerAsWindowsDoes) {
  clearLastError();
  EXPECT_TRUE(GetParam().refused());
  EXPECT_EQ(lastErrorAfterwards(), GetParam().error);
}

int notAHeap = 0;

INSTANTIATE_TEST_SUITE_P(
    Calls, HeapRefusals,
    ::testing::Values(
        HeapRefusal{"DestroyTheProcessHeap",
                    [] { return destroyHeap(shim<void * MS_ABI()>("GetProcessHeap")()) == 0; }, 6},
        HeapRefusal{"DestroyAnUnknownHeap", [] { return destroyHeap(&notAHeap) == 0; }, 6},
        HeapRefusal{"DestroyTwice",
                    [] {
                      void* heap = createHeap(0, 0);
                      return destroyHeap(heap) == 1 && destroyHeap(heap) == 0;
                    },
                    6},
        HeapRefusal{"AnExecutableHeap", [] { return createHeap(0x40000, 0) == nullptr; }, 1655},
        HeapRefusal{"ReAllocInAnUnknownHeap",
                    [] {
                      return shim<HeapReAllocCall>("HeapReAlloc")(&notAHeap, 0, &notAHeap, 8) ==
                             nullptr;
                    },
                    87}),
    [](const ::testing::TestParamInfo<HeapRefusal>& info) { return std::string(info.param.name); });

constexpr std::uintptr_t PAGE = 4096;
constexpr Dword COMMIT = 0x1000, RESERVE = 0x2000, DECOMMIT = 0x4000, RELEASE = 0x8000;
constexpr Dword NOACCESS = 0x01, READONLY = 0x02, READWRITE = 0x04, EXECUTE_READ = 0x20;
constexpr Dword PRIVATE = 0x20000, IMAGE = 0x1000000;

// What VirtualQuery answered, by MEMORY_BASIC_INFORMATION's fields.
struct Answer {
  std::uintptr_t base = 0, allocationBase = 0;
  Dword allocationProtect = 0;
  std::uintptr_t size = 0;
  Dword state = 0, protect = 0, type = 0;
  bool operator==(const Answer&) const = default;
};

void PrintTo(const Answer& a, std::ostream* out) {
  *out << std::hex << "base " << a.base << " allocation " << a.allocationBase << "/"
       << a.allocationProtect << " size " << a.size << " state " << a.state << " protect "
       << a.protect << " type " << a.type;
}

Answer query(const void* address) {
  std::uint8_t info[48];
  std::memset(info, 0xCC, sizeof info);
  const auto virtualQuery =
      shim<std::size_t MS_ABI(const void*, void*, std::size_t)>("VirtualQuery");
  EXPECT_EQ(virtualQuery(address, info, sizeof info), sizeof info);
  return {fieldOf<std::uintptr_t>(info, 0), fieldOf<std::uintptr_t>(info, 8),
          fieldOf<Dword>(info, 16),         fieldOf<std::uintptr_t>(info, 24),
          fieldOf<Dword>(info, 32),         fieldOf<Dword>(info, 36),
          fieldOf<Dword>(info, 40)};
}

TEST(Kernel32, VirtualQueryDescribesReservedAndCommittedRunsOfARegion) {
  const auto alloc = shim<void * MS_ABI(void*, std::size_t, Dword, Dword)>("VirtualAlloc");
  const auto release = shim<Bool MS_ABI(void*, std::size_t, Dword)>("VirtualFree");
  const auto protect = shim<Bool MS_ABI(void*, std::size_t, Dword, Dword*)>("VirtualProtect");
  auto* region = static_cast<std::uint8_t*>(alloc(nullptr, 256 * PAGE, RESERVE, READWRITE));
  ASSERT_NE(region, nullptr);
  const auto at = reinterpret_cast<std::uintptr_t>(region);
  ASSERT_EQ(alloc(region + 2 * PAGE, 2 * PAGE, COMMIT, READWRITE), region + 2 * PAGE);
  ASSERT_EQ(alloc(region + 5 * PAGE + 7, 1, COMMIT, READONLY), region + 5 * PAGE);
  ASSERT_EQ(alloc(region + 7 * PAGE, PAGE, COMMIT, NOACCESS), region + 7 * PAGE);
  Dword old = 0;
  ASSERT_EQ(protect(region + 3 * PAGE, 1, READONLY, &old), 1);
  EXPECT_EQ(old, READWRITE);
  clearLastError();
  EXPECT_EQ(protect(region + 4 * PAGE, PAGE, READWRITE, &old), 0) << "a page only reserved";
  EXPECT_EQ(lastErrorAfterwards(), 487u);  // ERROR_INVALID_ADDRESS
  struct Run {
    std::uintptr_t asked, base, size;  // in bytes from the region's start
    Dword state, protect;
  };
  for (const Run& run :
       {Run{0, 0, 2 * PAGE, RESERVE, 0}, Run{2 * PAGE + 100, 2 * PAGE, PAGE, COMMIT, READWRITE},
        Run{3 * PAGE, 3 * PAGE, PAGE, COMMIT, READONLY},
        Run{4 * PAGE + 5, 4 * PAGE, PAGE, RESERVE, 0},
        Run{5 * PAGE, 5 * PAGE, PAGE, COMMIT, READONLY}, Run{6 * PAGE, 6 * PAGE, PAGE, RESERVE, 0},
        Run{7 * PAGE, 7 * PAGE, PAGE, COMMIT, NOACCESS},
        Run{200 * PAGE, 200 * PAGE, 56 * PAGE, RESERVE, 0},
        Run{256 * PAGE - 1, 255 * PAGE, PAGE, RESERVE, 0}}) {
    EXPECT_EQ(query(region + run.asked),
              (Answer{at + run.base, at, READWRITE, run.size, run.state, run.protect, PRIVATE}))
        << "at page " << run.asked / PAGE;
  }
  ASSERT_EQ(release(region + 2 * PAGE, PAGE, DECOMMIT), 1);
  EXPECT_EQ(query(region).size, 3 * PAGE) << "a decommitted page joins the reserved run";
  ASSERT_EQ(release(region, 0, RELEASE), 1);
  clearLastError();
  std::uint8_t info[48];
  EXPECT_EQ(shim<std::size_t MS_ABI(const void*, void*, std::size_t)>("VirtualQuery")(region, info,
                                                                                      sizeof info),
            0u)
      << "released";
  EXPECT_EQ(lastErrorAfterwards(), 87u);
}

TEST(Kernel32, VirtualQueryOfACommitOnlyAllocationIsOneCommittedRun) {
  const auto alloc = shim<void * MS_ABI(void*, std::size_t, Dword, Dword)>("VirtualAlloc");
  auto* region = static_cast<std::uint8_t*>(alloc(nullptr, 3 * PAGE + 1, COMMIT, READWRITE));
  ASSERT_NE(region, nullptr);
  const auto at = reinterpret_cast<std::uintptr_t>(region);
  EXPECT_EQ(query(region + PAGE),
            (Answer{at + PAGE, at, READWRITE, 3 * PAGE, COMMIT, READWRITE, PRIVATE}));
  shim<Bool MS_ABI(void*, std::size_t, Dword)>("VirtualFree")(region, 0, RELEASE);
}

TEST(Kernel32, VirtualQueryDescribesTheLibrarysImageBySections) {
  // An image of four pages (headers read-only, code, two pages of data) with more data mapped
  // right after it, which is not the image's.
  auto* image = static_cast<std::uint8_t*>(
      mmap(nullptr, 5 * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(image, MAP_FAILED);
  ASSERT_EQ(mprotect(image, PAGE, PROT_READ), 0);
  ASSERT_EQ(mprotect(image + PAGE, PAGE, PROT_READ | PROT_EXEC), 0);
  setLoadedLibrary({image, 4 * PAGE, "/tmp/library.dll", 0, 0});
  const auto at = reinterpret_cast<std::uintptr_t>(image);
  struct Section {
    std::uintptr_t asked, base, size;
    Dword protect;
  };
  for (const Section& s :
       {Section{0, 0, PAGE, READONLY}, Section{PAGE + 9, PAGE, PAGE, EXECUTE_READ},
        Section{2 * PAGE, 2 * PAGE, 2 * PAGE, READWRITE},
        Section{3 * PAGE + 1, 3 * PAGE, PAGE, READWRITE}}) {
    EXPECT_EQ(query(image + s.asked),
              (Answer{at + s.base, at, 0x80, s.size, COMMIT, s.protect, IMAGE}))
        << "at page " << s.asked / PAGE;
  }
  const auto virtualQuery =
      shim<std::size_t MS_ABI(const void*, void*, std::size_t)>("VirtualQuery");
  std::uint8_t info[48];
  struct Refusal {
    const void* address;
    std::size_t length;
    Dword error;
  };
  int local = 0;
  for (const Refusal& r : {Refusal{image + 4 * PAGE, sizeof info, 87},
                           Refusal{&local, sizeof info, 87}, Refusal{image, sizeof info - 1, 24}}) {
    clearLastError();
    EXPECT_EQ(virtualQuery(r.address, info, r.length), 0u);
    EXPECT_EQ(lastErrorAfterwards(), r.error);
  }
  setLoadedLibrary({});
  munmap(image, 5 * PAGE);
}

}  // namespace
}  // namespace quarry
