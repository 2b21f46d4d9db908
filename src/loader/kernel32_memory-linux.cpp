// The process heap and virtual memory, for a Windows library that Quarry loaded.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "base/bytes.h"
#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"

namespace quarry {
namespace kernel32 {
namespace {

// Each heap block carries its size before it, so HeapSize answers what was asked for; the
// header keeps blocks 16-byte aligned, as Windows' are.
constexpr std::size_t HEAP_HEADER = 16;
constexpr Dword HEAP_ZERO_MEMORY = 0x8;
constexpr std::size_t HEAP_SIZE_FAILED = static_cast<std::size_t>(-1);

// Only its address matters: it is the process heap's handle.
char processHeap;

std::uint8_t* blockStart(void* memory) {
  return static_cast<std::uint8_t*>(memory) - HEAP_HEADER;
}

QUARRY_WINAPI Handle GetProcessHeap() {
  return &processHeap;
}

QUARRY_WINAPI void* HeapAlloc(Handle heap, Dword flags, std::size_t size) {
  if (heap != &processHeap) return failWith<void*>(ERROR_INVALID_HANDLE, nullptr);
  if (size > SIZE_MAX - HEAP_HEADER) return nullptr;
  void* block = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, size + HEAP_HEADER)
                                                : std::malloc(size + HEAP_HEADER);
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return static_cast<std::uint8_t*>(block) + HEAP_HEADER;
}

QUARRY_WINAPI Bool HeapFree(Handle heap, Dword, void* memory) {
  if (heap != &processHeap) return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  if (memory != nullptr) std::free(blockStart(memory));
  return BOOL_TRUE;
}

QUARRY_WINAPI std::size_t HeapSize(Handle heap, Dword, const void* memory) {
  if (heap != &processHeap || memory == nullptr) return HEAP_SIZE_FAILED;
  std::size_t size;
  std::memcpy(&size, blockStart(const_cast<void*>(memory)), sizeof size);
  return size;
}

constexpr Dword HEAP_REALLOC_IN_PLACE_ONLY = 0x10;

// The block grows or shrinks, keeping its bytes; the growth is zeroed when asked. In place
// only, a block cannot grow: its size is all the room it is known to have.
QUARRY_WINAPI void* HeapReAlloc(Handle heap, Dword flags, void* memory, std::size_t size) {
  if (heap != &processHeap || memory == nullptr) {
    return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::size_t old = HeapSize(heap, 0, memory);
  if ((flags & HEAP_REALLOC_IN_PLACE_ONLY) != 0) {
    if (size > old) return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    std::memcpy(blockStart(memory), &size, sizeof size);
    return memory;
  }
  if (size > SIZE_MAX - HEAP_HEADER) return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  void* block = std::realloc(blockStart(memory), size + HEAP_HEADER);
  if (block == nullptr) return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  std::memcpy(block, &size, sizeof size);
  auto* bytes = static_cast<std::uint8_t*>(block) + HEAP_HEADER;
  if ((flags & HEAP_ZERO_MEMORY) != 0 && size > old) std::memset(bytes + old, 0, size - old);
  return bytes;
}

// Virtual memory: regions reserved at allocation-granularity boundaries, as on Windows.
constexpr Dword MEM_COMMIT = 0x1000;
constexpr Dword MEM_RESERVE = 0x2000;
constexpr Dword MEM_DECOMMIT = 0x4000;
constexpr Dword MEM_RELEASE = 0x8000;
constexpr Dword MEM_TOP_DOWN = 0x100000;
constexpr std::uintptr_t ALLOCATION_GRANULARITY = 0x10000;
constexpr std::uintptr_t PAGE = 4096;

constexpr Dword PAGE_NOACCESS = 0x01;
constexpr Dword PAGE_READONLY = 0x02;
constexpr Dword PAGE_READWRITE = 0x04;
constexpr Dword PAGE_WRITECOPY = 0x08;
constexpr Dword PAGE_EXECUTE = 0x10;
constexpr Dword PAGE_EXECUTE_READ = 0x20;
constexpr Dword PAGE_EXECUTE_READWRITE = 0x40;
constexpr Dword PAGE_EXECUTE_WRITECOPY = 0x80;
constexpr Dword PAGE_KIND_MASK = 0xFF;

std::mutex regionsLock;
std::map<std::uintptr_t, std::size_t> regions;  // base -> length, of every live reservation

enum class Protection { valid, writableCode, unknown };

// Windows' protection as mprotect's; never writable and executable at once, which Windows
// too refuses where dynamic code is blocked.
Protection posixProtection(Dword protect, int& prot) {
  switch (protect & PAGE_KIND_MASK) {
    case PAGE_NOACCESS:
      prot = PROT_NONE;
      return Protection::valid;
    case PAGE_READONLY:
      prot = PROT_READ;
      return Protection::valid;
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
      prot = PROT_READ | PROT_WRITE;
      return Protection::valid;
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
      prot = PROT_READ | PROT_EXEC;
      return Protection::valid;
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
      return Protection::writableCode;
    default:
      return Protection::unknown;
  }
}

Dword protectionFailure(Protection protection) {
  return protection == Protection::writableCode ? ERROR_DYNAMIC_CODE_BLOCKED
                                                : ERROR_INVALID_PARAMETER;
}

// Whether [address, address + size) can be rounded out to whole regions without wrapping.
bool addressRangeSound(std::uintptr_t address, std::size_t size) {
  constexpr std::uintptr_t highest = UINTPTR_MAX - ALLOCATION_GRANULARITY;
  return address <= highest && size <= highest - address;
}

// The reservation that holds [start, start + length), or regions.end().
std::map<std::uintptr_t, std::size_t>::iterator regionHolding(std::uintptr_t start,
                                                              std::uintptr_t length) {
  auto found = regions.upper_bound(start);
  if (found == regions.begin()) return regions.end();
  --found;
  const bool inside =
      start - found->first <= found->second && length <= found->second - (start - found->first);
  return inside ? found : regions.end();
}

// length bytes anywhere, starting on an allocation-granularity boundary.
void* mapAligned(std::uintptr_t length, int prot) {
  const std::uintptr_t padded = length + ALLOCATION_GRANULARITY - PAGE;
  void* mapped = mmap(nullptr, padded, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto first = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t start = roundUp(first, ALLOCATION_GRANULARITY);
  if (start > first) munmap(mapped, start - first);
  if (first + padded > start + length)
    munmap(reinterpret_cast<void*>(start + length), first + padded - start - length);
  return reinterpret_cast<void*>(start);
}

// length bytes exactly at start, which must be free.
void* mapAt(std::uintptr_t start, std::uintptr_t length, int prot) {
  void* wanted = reinterpret_cast<void*>(start);
  void* mapped = mmap(wanted, length, prot,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  if (mapped == wanted) return mapped;
  munmap(mapped, length);  // a kernel that took the address only as a hint
  return nullptr;
}

void* reserve(std::uintptr_t address, std::size_t size, int prot) {
  const std::uintptr_t start = roundDown(address, ALLOCATION_GRANULARITY);
  const std::uintptr_t length = roundUp(address + size, PAGE) - start;
  void* mapped = address == 0 ? mapAligned(length, prot) : mapAt(start, length, prot);
  if (mapped == nullptr) {
    return failWith<void*>(address == 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_ADDRESS, nullptr);
  }
  regions[reinterpret_cast<std::uintptr_t>(mapped)] = length;
  return mapped;
}

// Committing pages of a reservation: they become accessible as asked.
void* commit(std::uintptr_t address, std::size_t size, int prot) {
  const std::uintptr_t start = roundDown(address, PAGE);
  const std::uintptr_t length = roundUp(address + size, PAGE) - start;
  if (regionHolding(start, length) == regions.end() ||
      mprotect(reinterpret_cast<void*>(start), length, prot) != 0) {
    return failWith<void*>(ERROR_INVALID_ADDRESS, nullptr);
  }
  return reinterpret_cast<void*>(start);
}

QUARRY_WINAPI void* VirtualAlloc(void* address, std::size_t size, Dword type, Dword protect) {
  int prot = PROT_NONE;
  const Protection protection = posixProtection(protect, prot);
  if (protection != Protection::valid)
    return failWith<void*>(protectionFailure(protection), nullptr);
  const Dword kinds = type & ~MEM_TOP_DOWN;
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (size == 0 || (kinds & ~(MEM_COMMIT | MEM_RESERVE)) != 0 || kinds == 0 ||
      !addressRangeSound(at, size)) {
    return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::lock_guard<std::mutex> lock(regionsLock);
  // Committing with no address reserves too, in one step, as Windows does.
  if ((kinds & MEM_RESERVE) != 0 || at == 0) {
    return reserve(at, size, (kinds & MEM_COMMIT) != 0 ? prot : PROT_NONE);
  }
  return commit(at, size, prot);
}

// Decommitted pages read as zero when committed again, as on Windows.
Bool decommit(std::uintptr_t address, std::size_t size) {
  const auto region = regions.find(address);
  const bool wholeRegion = size == 0 && region != regions.end();
  const std::uintptr_t start = roundDown(address, PAGE);
  const std::uintptr_t length =
      wholeRegion ? region->second : roundUp(address + size, PAGE) - start;
  if (length == 0 || regionHolding(start, length) == regions.end()) {
    return failWith(ERROR_INVALID_ADDRESS, BOOL_FALSE);
  }
  void* pages = reinterpret_cast<void*>(start);
  madvise(pages, length, MADV_DONTNEED);
  mprotect(pages, length, PROT_NONE);
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool VirtualFree(void* address, std::size_t size, Dword type) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const std::lock_guard<std::mutex> lock(regionsLock);
  if (type == MEM_DECOMMIT && addressRangeSound(at, size)) return decommit(at, size);
  if (type != MEM_RELEASE || size != 0) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const auto region = regions.find(at);
  if (region == regions.end()) return failWith(ERROR_INVALID_ADDRESS, BOOL_FALSE);
  munmap(address, region->second);
  regions.erase(region);
  return BOOL_TRUE;
}

Dword windowsProtection(const std::string& permissions) {
  const bool read = permissions[0] == 'r';
  const bool write = permissions[1] == 'w';
  const bool execute = permissions[2] == 'x';
  if (execute) return write ? PAGE_EXECUTE_READWRITE : read ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
  if (write) return PAGE_READWRITE;
  return read ? PAGE_READONLY : PAGE_NOACCESS;
}

// The page's current protection, as the kernel lists it; false when nothing is mapped there.
bool currentProtection(std::uintptr_t address, Dword& protection) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::uintptr_t start = 0, end = 0;
    char dash = 0;
    std::string permissions;
    fields >> std::hex >> start >> dash >> end >> permissions;
    if (address < start || address >= end || permissions.size() < 3) continue;
    protection = windowsProtection(permissions);
    return true;
  }
  return false;
}

QUARRY_WINAPI Bool VirtualProtect(void* address, std::size_t size, Dword protect,
                                  Dword* oldProtect) {
  int prot = PROT_NONE;
  const Protection protection = posixProtection(protect, prot);
  if (protection != Protection::valid) return failWith(protectionFailure(protection), BOOL_FALSE);
  if (oldProtect == nullptr) return failWith(ERROR_NOACCESS, BOOL_FALSE);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (!addressRangeSound(at, size)) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const std::uintptr_t start = roundDown(at, PAGE);
  Dword old = 0;
  if (!currentProtection(start, old) ||
      mprotect(reinterpret_cast<void*>(start), roundUp(at + size, PAGE) - start, prot) != 0) {
    return failWith(ERROR_INVALID_ADDRESS, BOOL_FALSE);
  }
  *oldProtect = old;
  return BOOL_TRUE;
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetProcessHeap), QUARRY_KERNEL32_FUNCTION(HeapAlloc),
    QUARRY_KERNEL32_FUNCTION(HeapFree),       QUARRY_KERNEL32_FUNCTION(HeapSize),
    QUARRY_KERNEL32_FUNCTION(HeapReAlloc),    QUARRY_KERNEL32_FUNCTION(VirtualAlloc),
    QUARRY_KERNEL32_FUNCTION(VirtualFree),    QUARRY_KERNEL32_FUNCTION(VirtualProtect),
};

}  // namespace

std::span<const Function> memoryFunctions() {
  return FUNCTIONS;
}

}  // namespace kernel32

void* processHeapHandle() {
  return kernel32::GetProcessHeap();
}

}  // namespace quarry
