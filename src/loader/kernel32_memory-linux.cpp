// Virtual memory, for a Windows library that Quarry loaded: the regions it reserves and
// commits, kept page by page so that VirtualQuery can describe them, and its own image.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "base/bytes.h"
#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"
#include "loader/pe_format.h"

namespace quarry {
namespace kernel32 {
namespace {

// Virtual memory: regions reserved at allocation-granularity boundaries, as on Windows.
constexpr Dword MEM_COMMIT = 0x1000;
constexpr Dword MEM_RESERVE = 0x2000;
constexpr Dword MEM_DECOMMIT = 0x4000;
constexpr Dword MEM_RELEASE = 0x8000;
constexpr Dword MEM_TOP_DOWN = 0x100000;
constexpr std::uintptr_t ALLOCATION_GRANULARITY = 0x10000;

constexpr Dword PAGE_NOACCESS = 0x01;
constexpr Dword PAGE_READONLY = 0x02;
constexpr Dword PAGE_READWRITE = 0x04;
constexpr Dword PAGE_WRITECOPY = 0x08;
constexpr Dword PAGE_EXECUTE = 0x10;
constexpr Dword PAGE_EXECUTE_READ = 0x20;
constexpr Dword PAGE_EXECUTE_READWRITE = 0x40;
constexpr Dword PAGE_EXECUTE_WRITECOPY = 0x80;
constexpr Dword PAGE_KIND_MASK = 0xFF;

// A live reservation: its length, the protection it was reserved with, and its pages as runs
// by first address, each committed with a protection as given, or only reserved (0).
struct Region {
  std::size_t length = 0;
  Dword allocationProtect = 0;
  std::map<std::uintptr_t, Dword> pages;
};
constexpr Dword RESERVED_ONLY = 0;

std::mutex regionsLock;
std::map<std::uintptr_t, Region> regions;  // by base

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
std::map<std::uintptr_t, Region>::iterator regionHolding(std::uintptr_t start,
                                                         std::uintptr_t length) {
  auto found = regions.upper_bound(start);
  if (found == regions.begin()) return regions.end();
  --found;
  const std::size_t size = found->second.length;
  const bool inside = start - found->first <= size && length <= size - (start - found->first);
  return inside ? found : regions.end();
}

// The state of the page at address, which lies in region.
Dword pageState(const Region& region, std::uintptr_t address) {
  return std::prev(region.pages.upper_bound(address))->second;
}

// Pages [start, end) of region take state; the run after them keeps its own.
void markPages(Region& region, std::uintptr_t base, std::uintptr_t start, std::uintptr_t end,
               Dword state) {
  if (end < base + region.length) region.pages[end] = pageState(region, end);
  region.pages.erase(region.pages.lower_bound(start), region.pages.lower_bound(end));
  region.pages[start] = state;
}

// Whether every page of [start, end) in region is committed.
bool allCommitted(const Region& region, std::uintptr_t start, std::uintptr_t end) {
  if (pageState(region, start) == RESERVED_ONLY) return false;
  for (auto run = region.pages.upper_bound(start); run != region.pages.end() && run->first < end;
       ++run) {
    if (run->second == RESERVED_ONLY) return false;
  }
  return true;
}

// length bytes anywhere, starting on an allocation-granularity boundary.
void* mapAligned(std::uintptr_t length, int prot) {
  const std::uintptr_t padded = length + ALLOCATION_GRANULARITY - pe::PAGE_SIZE;
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

void* reserve(std::uintptr_t address, std::size_t size, Dword protect, int prot, bool committed) {
  const std::uintptr_t start = roundDown(address, ALLOCATION_GRANULARITY);
  const std::uintptr_t length = roundUp(address + size, pe::PAGE_SIZE) - start;
  void* mapped = address == 0 ? mapAligned(length, prot) : mapAt(start, length, prot);
  if (mapped == nullptr) {
    return failWith<void*>(address == 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_ADDRESS, nullptr);
  }
  const auto base = reinterpret_cast<std::uintptr_t>(mapped);
  regions[base] = Region{length, protect, {{base, committed ? protect : RESERVED_ONLY}}};
  return mapped;
}

// Committing pages of a reservation: they become accessible as asked.
void* commit(std::uintptr_t address, std::size_t size, Dword protect, int prot) {
  const std::uintptr_t start = roundDown(address, pe::PAGE_SIZE);
  const std::uintptr_t length = roundUp(address + size, pe::PAGE_SIZE) - start;
  const auto region = regionHolding(start, length);
  if (region == regions.end() || mprotect(reinterpret_cast<void*>(start), length, prot) != 0) {
    return failWith<void*>(ERROR_INVALID_ADDRESS, nullptr);
  }
  markPages(region->second, region->first, start, start + length, protect);
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
    const bool committed = (kinds & MEM_COMMIT) != 0;
    return reserve(at, size, protect, committed ? prot : PROT_NONE, committed);
  }
  return commit(at, size, protect, prot);
}

// Decommitted pages read as zero when committed again, as on Windows.
Bool decommit(std::uintptr_t address, std::size_t size) {
  const auto region = regions.find(address);
  const bool wholeRegion = size == 0 && region != regions.end();
  const std::uintptr_t start = roundDown(address, pe::PAGE_SIZE);
  const std::uintptr_t length =
      wholeRegion ? region->second.length : roundUp(address + size, pe::PAGE_SIZE) - start;
  const auto holder = regionHolding(start, length);
  if (length == 0 || holder == regions.end()) return failWith(ERROR_INVALID_ADDRESS, BOOL_FALSE);
  markPages(holder->second, holder->first, start, start + length, RESERVED_ONLY);
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
  munmap(address, region->second.length);
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

// Pages of a reservation keep the protection as given; reserved pages cannot be protected,
// as on Windows. Elsewhere (the library's image) the kernel tells the old protection.
QUARRY_WINAPI Bool VirtualProtect(void* address, std::size_t size, Dword protect,
                                  Dword* oldProtect) {
  int prot = PROT_NONE;
  const Protection protection = posixProtection(protect, prot);
  if (protection != Protection::valid) return failWith(protectionFailure(protection), BOOL_FALSE);
  if (oldProtect == nullptr) return failWith(ERROR_NOACCESS, BOOL_FALSE);
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (!addressRangeSound(at, size)) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const std::uintptr_t start = roundDown(at, pe::PAGE_SIZE);
  const std::uintptr_t end = roundUp(at + size, pe::PAGE_SIZE);
  const std::lock_guard<std::mutex> lock(regionsLock);
  const auto region = regionHolding(start, end - start);
  Dword old = 0;
  const bool known = region != regions.end() ? allCommitted(region->second, start, end)
                                             : currentProtection(start, old);
  if (!known || mprotect(reinterpret_cast<void*>(start), end - start, prot) != 0) {
    return failWith(ERROR_INVALID_ADDRESS, BOOL_FALSE);
  }
  if (region != regions.end()) {
    old = pageState(region->second, start);
    markPages(region->second, region->first, start, end, protect);
  }
  *oldProtect = old;
  return BOOL_TRUE;
}

// MEMORY_BASIC_INFORMATION, as a 64-bit library lays it out.
constexpr std::size_t MEMORY_INFO_SIZE = 48;
constexpr Dword MEM_IMAGE = 0x1000000;
constexpr Dword MEM_PRIVATE = 0x20000;
constexpr Dword ERROR_BAD_LENGTH = 24;

struct MemoryInfo {
  std::uintptr_t base = 0;
  std::uintptr_t allocationBase = 0;
  Dword allocationProtect = 0;
  std::uintptr_t size = 0;
  Dword state = 0;
  Dword protect = 0;
  Dword type = 0;
};

void putMemoryInfo(void* out, const MemoryInfo& info) {
  std::memset(out, 0, MEMORY_INFO_SIZE);
  putField(out, 0, info.base);
  putField(out, 8, info.allocationBase);
  putField(out, 16, info.allocationProtect);
  putField(out, 24, info.size);
  putField(out, 32, info.state);
  putField(out, 36, info.protect);
  putField(out, 40, info.type);
}

// The run of pages from page that share its state, within a reservation.
MemoryInfo describeRegion(std::uintptr_t base, const Region& region, std::uintptr_t page) {
  const Dword state = pageState(region, page);
  std::uintptr_t end = base + region.length;
  for (auto run = region.pages.upper_bound(page); run != region.pages.end(); ++run) {
    if (run->second == state) continue;
    end = run->first;
    break;
  }
  const bool committed = state != RESERVED_ONLY;
  return {
      page,  base,       region.allocationProtect, end - page, committed ? MEM_COMMIT : MEM_RESERVE,
      state, MEM_PRIVATE};
}

// The kernel's mapping that holds address, joined with the ones right after it that have the
// same permissions, up to limit; false when nothing is mapped there.
bool mappedRun(std::uintptr_t address, std::uintptr_t limit, std::uintptr_t& end,
               std::string& permissions) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  end = 0;
  while (std::getline(maps, line) && end < limit) {
    std::istringstream fields(line);
    std::uintptr_t start = 0, stop = 0;
    char dash = 0;
    std::string kind;
    fields >> std::hex >> start >> dash >> stop >> kind;
    if (kind.size() < 3) continue;
    if (end == 0 && address >= start && address < stop) {
      end = stop;
      permissions = kind;
    } else if (end != 0 && (start != end || kind != permissions)) {
      break;
    } else if (end != 0) {
      end = stop;
    }
  }
  end = std::min(end, limit);
  return end != 0;
}

// The library's image: its headers and sections with the protections they now have, all
// committed, allocated as an image is (copy-on-write and executable).
bool describeImage(std::uintptr_t page, MemoryInfo& info) {
  const LoadedImage& image = loadedLibrary();
  const auto base = reinterpret_cast<std::uintptr_t>(image.base);
  if (image.base == nullptr || page < base || page - base >= image.size) return false;
  std::uintptr_t end = 0;
  std::string permissions;
  if (!mappedRun(page, base + image.size, end, permissions)) return false;
  info = {page,       base,       PAGE_EXECUTE_WRITECOPY,
          end - page, MEM_COMMIT, windowsProtection(permissions),
          MEM_IMAGE};
  return true;
}

// Only memory that is the library's own is described: the rest of the process is Quarry's,
// which the library has no business with, so the answer is Windows' for an address outside
// what it may query.
QUARRY_WINAPI std::size_t VirtualQuery(const void* address, void* buffer, std::size_t length) {
  if (length < MEMORY_INFO_SIZE) return failWith<std::size_t>(ERROR_BAD_LENGTH, 0);
  if (buffer == nullptr) return failWith<std::size_t>(ERROR_NOACCESS, 0);
  const std::uintptr_t page = roundDown(reinterpret_cast<std::uintptr_t>(address), pe::PAGE_SIZE);
  MemoryInfo info;
  {
    const std::lock_guard<std::mutex> lock(regionsLock);
    const auto region = regionHolding(page, pe::PAGE_SIZE);
    if (region != regions.end()) {
      putMemoryInfo(buffer, describeRegion(region->first, region->second, page));
      return MEMORY_INFO_SIZE;
    }
  }
  if (!describeImage(page, info)) return failWith<std::size_t>(ERROR_INVALID_PARAMETER, 0);
  putMemoryInfo(buffer, info);
  return MEMORY_INFO_SIZE;
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(VirtualAlloc),
    QUARRY_KERNEL32_FUNCTION(VirtualFree),
    QUARRY_KERNEL32_FUNCTION(VirtualProtect),
    QUARRY_KERNEL32_FUNCTION(VirtualQuery),
};

}  // namespace

std::span<const Function> memoryFunctions() {
  return FUNCTIONS;
}

}  // namespace kernel32
}  // namespace quarry
