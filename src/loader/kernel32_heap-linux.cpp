// Heaps, for a Windows library that Quarry loaded: the process heap, and private heaps that
// HeapCreate makes and HeapDestroy frees whole. A C runtime's start-up creates its own heap
// this way and destroys it when it ends, expecting every block in it to go with it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"

namespace quarry {
namespace kernel32 {
namespace {

// Each heap block carries its size before it, so HeapSize answers what was asked for; the
// header keeps blocks 16-byte aligned, as Windows' are.
constexpr std::size_t HEAP_HEADER = 16;
constexpr Dword HEAP_ZERO_MEMORY = 0x8;
constexpr Dword HEAP_REALLOC_IN_PLACE_ONLY = 0x10;
constexpr Dword HEAP_CREATE_ENABLE_EXECUTE = 0x40000;
constexpr std::size_t HEAP_SIZE_FAILED = static_cast<std::size_t>(-1);

// Only its address matters: it is the process heap's handle.
char processHeap;

// A heap of the library's own: the blocks it holds, so that destroying it frees them, and
// its limit when it was created with one (the sum of the sizes asked for; 0: none).
struct PrivateHeap {
  std::unordered_set<void*> blocks;
  std::size_t maximum = 0;
  std::size_t allocated = 0;
};

// Private heaps by handle; the handle is the record's address, distinct and never null.
std::mutex heapsLock;
std::map<Handle, std::unique_ptr<PrivateHeap>> privateHeaps;

std::uint8_t* blockStart(void* memory) {
  return static_cast<std::uint8_t*>(memory) - HEAP_HEADER;
}

std::size_t blockSize(const void* memory) {
  std::size_t size;
  std::memcpy(&size, blockStart(const_cast<void*>(memory)), sizeof size);
  return size;
}

void* newBlock(Dword flags, std::size_t size) {
  if (size > SIZE_MAX - HEAP_HEADER) return nullptr;
  void* block = (flags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, size + HEAP_HEADER)
                                                : std::malloc(size + HEAP_HEADER);
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof size);
  return static_cast<std::uint8_t*>(block) + HEAP_HEADER;
}

// The block grows or shrinks, keeping its bytes; the growth is zeroed when asked. In place
// only, a block cannot grow: its size is all the room it is known to have.
void* resizedBlock(Dword flags, void* memory, std::size_t size) {
  const std::size_t old = blockSize(memory);
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

// The private heap a handle names, or null; heapsLock is held.
PrivateHeap* privateHeap(Handle heap) {
  const auto found = privateHeaps.find(heap);
  return found != privateHeaps.end() ? found->second.get() : nullptr;
}

bool withinMaximum(const PrivateHeap& heap, std::size_t more) {
  return heap.maximum == 0 ||
         (heap.allocated <= heap.maximum && more <= heap.maximum - heap.allocated);
}

QUARRY_WINAPI Handle GetProcessHeap() {
  return &processHeap;
}

// Executable heaps would need memory both writable and executable, which Quarry never gives,
// so they are refused as VirtualAlloc refuses such memory.
QUARRY_WINAPI Handle HeapCreate(Dword options, std::size_t, std::size_t maximum) {
  if ((options & HEAP_CREATE_ENABLE_EXECUTE) != 0) {
    return failWith<Handle>(ERROR_DYNAMIC_CODE_BLOCKED, nullptr);
  }
  auto heap = std::make_unique<PrivateHeap>();
  heap->maximum = maximum;
  Handle handle = heap.get();
  const std::lock_guard<std::mutex> lock(heapsLock);
  privateHeaps.emplace(handle, std::move(heap));
  return handle;
}

QUARRY_WINAPI Bool HeapDestroy(Handle heap) {
  std::unique_ptr<PrivateHeap> destroyed;
  {
    const std::lock_guard<std::mutex> lock(heapsLock);
    const auto found = privateHeaps.find(heap);
    if (found == privateHeaps.end()) return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
    destroyed = std::move(found->second);
    privateHeaps.erase(found);
  }
  for (void* block : destroyed->blocks) std::free(blockStart(block));
  return BOOL_TRUE;
}

void* privateAlloc(Handle handle, Dword flags, std::size_t size) {
  const std::lock_guard<std::mutex> lock(heapsLock);
  PrivateHeap* heap = privateHeap(handle);
  if (heap == nullptr) return failWith<void*>(ERROR_INVALID_HANDLE, nullptr);
  if (!withinMaximum(*heap, size)) return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  void* block = newBlock(flags, size);
  if (block == nullptr) return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  heap->blocks.insert(block);
  heap->allocated += size;
  return block;
}

QUARRY_WINAPI void* HeapAlloc(Handle heap, Dword flags, std::size_t size) {
  if (heap != &processHeap) return privateAlloc(heap, flags, size);
  return newBlock(flags, size);
}

// A block the heap does not hold is refused rather than freed, as Windows refuses it.
Bool privateFree(Handle handle, void* memory) {
  const std::lock_guard<std::mutex> lock(heapsLock);
  PrivateHeap* heap = privateHeap(handle);
  if (heap == nullptr) return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  if (memory == nullptr) return BOOL_TRUE;
  if (heap->blocks.erase(memory) == 0) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  heap->allocated -= blockSize(memory);
  std::free(blockStart(memory));
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool HeapFree(Handle heap, Dword, void* memory) {
  if (heap != &processHeap) return privateFree(heap, memory);
  if (memory != nullptr) std::free(blockStart(memory));
  return BOOL_TRUE;
}

QUARRY_WINAPI std::size_t HeapSize(Handle heap, Dword, const void* memory) {
  if (memory == nullptr) return HEAP_SIZE_FAILED;
  if (heap == &processHeap) return blockSize(memory);
  const std::lock_guard<std::mutex> lock(heapsLock);
  PrivateHeap* owner = privateHeap(heap);
  const bool held = owner != nullptr && owner->blocks.count(const_cast<void*>(memory)) != 0;
  return held ? blockSize(memory) : HEAP_SIZE_FAILED;
}

void* privateReAlloc(Handle handle, Dword flags, void* memory, std::size_t size) {
  const std::lock_guard<std::mutex> lock(heapsLock);
  PrivateHeap* heap = privateHeap(handle);
  if (heap == nullptr || heap->blocks.count(memory) == 0) {
    return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  const std::size_t old = blockSize(memory);
  if (size > old && !withinMaximum(*heap, size - old)) {
    return failWith<void*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  void* block = resizedBlock(flags, memory, size);
  if (block == nullptr) return nullptr;
  heap->blocks.erase(memory);
  heap->blocks.insert(block);
  heap->allocated = heap->allocated - old + size;
  return block;
}

QUARRY_WINAPI void* HeapReAlloc(Handle heap, Dword flags, void* memory, std::size_t size) {
  if (heap != &processHeap) return privateReAlloc(heap, flags, memory, size);
  if (memory == nullptr) return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  return resizedBlock(flags, memory, size);
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetProcessHeap), QUARRY_KERNEL32_FUNCTION(HeapCreate),
    QUARRY_KERNEL32_FUNCTION(HeapDestroy),    QUARRY_KERNEL32_FUNCTION(HeapAlloc),
    QUARRY_KERNEL32_FUNCTION(HeapFree),       QUARRY_KERNEL32_FUNCTION(HeapSize),
    QUARRY_KERNEL32_FUNCTION(HeapReAlloc),
};

}  // namespace

std::span<const Function> heapFunctions() {
  return FUNCTIONS;
}

}  // namespace kernel32

void* processHeapHandle() {
  return kernel32::GetProcessHeap();
}

}  // namespace quarry
