// Threads and their synchronisation, for a Windows library that Quarry loaded: critical
// sections, TLS slots and lock-free list heads. The run calls the library from one thread,
// yet each of these would stay correct with more.
#include <sched.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "loader/kernel32_parts-linux.h"

namespace quarry::kernel32 {
namespace {

// CRITICAL_SECTION (40 bytes, owned by the library): the owning thread's id is the lock.
constexpr std::size_t SECTION_LOCK_COUNT = 8;
constexpr std::size_t SECTION_RECURSION = 12;
constexpr std::size_t SECTION_OWNER = 16;
constexpr std::size_t SECTION_SPIN_COUNT = 32;
constexpr std::size_t SECTION_SIZE = 40;
constexpr std::int32_t SECTION_FREE = -1;

constexpr std::size_t SLIST_HEADER_SIZE = 16;
constexpr Dword TLS_OUT_OF_INDEXES = 0xFFFFFFFF;
constexpr Dword INFINITE = 0xFFFFFFFF;

std::uint64_t* ownerOf(void* section) {
  return reinterpret_cast<std::uint64_t*>(static_cast<std::uint8_t*>(section) + SECTION_OWNER);
}

std::uint64_t callingThread() {
  return static_cast<std::uint64_t>(gettid());
}

QUARRY_WINAPI Bool InitializeCriticalSectionAndSpinCount(void* section, Dword spinCount) {
  if (section == nullptr) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  std::memset(section, 0, SECTION_SIZE);
  putField(section, SECTION_LOCK_COUNT, SECTION_FREE);
  putField(section, SECTION_SPIN_COUNT, std::uint64_t{spinCount});
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool InitializeCriticalSectionEx(void* section, Dword spinCount, Dword) {
  return InitializeCriticalSectionAndSpinCount(section, spinCount);
}

QUARRY_WINAPI void InitializeCriticalSection(void* section) {
  InitializeCriticalSectionAndSpinCount(section, 0);
}

QUARRY_WINAPI void DeleteCriticalSection(void* section) {
  if (section != nullptr) std::memset(section, 0, SECTION_SIZE);
}

QUARRY_WINAPI void EnterCriticalSection(void* section) {
  if (section == nullptr) return;
  const std::uint64_t me = callingThread();
  std::uint64_t* owner = ownerOf(section);
  if (__atomic_load_n(owner, __ATOMIC_ACQUIRE) == me) {
    putField(section, SECTION_RECURSION, fieldAt<std::int32_t>(section, SECTION_RECURSION) + 1);
    return;
  }
  std::uint64_t expected = 0;
  while (!__atomic_compare_exchange_n(owner, &expected, me, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    expected = 0;
    sched_yield();
  }
  putField(section, SECTION_RECURSION, std::int32_t{1});
  putField(section, SECTION_LOCK_COUNT, std::int32_t{0});
}

// Leaving a section the thread does not own does nothing, where Windows' behaviour is left
// undefined.
QUARRY_WINAPI void LeaveCriticalSection(void* section) {
  if (section == nullptr || __atomic_load_n(ownerOf(section), __ATOMIC_RELAXED) != callingThread())
    return;
  const std::int32_t depth = fieldAt<std::int32_t>(section, SECTION_RECURSION) - 1;
  putField(section, SECTION_RECURSION, depth);
  if (depth > 0) return;
  putField(section, SECTION_LOCK_COUNT, SECTION_FREE);
  __atomic_store_n(ownerOf(section), 0, __ATOMIC_RELEASE);
}

std::mutex slotsLock;
std::bitset<TLS_SLOT_COUNT> slotsInUse;

QUARRY_WINAPI Dword TlsAlloc() {
  const std::lock_guard<std::mutex> lock(slotsLock);
  for (Dword index = 0; index < TLS_SLOT_COUNT; ++index) {
    if (slotsInUse[index]) continue;
    slotsInUse[index] = true;
    setTlsSlot(index, nullptr);
    return index;
  }
  return failWith(ERROR_NOT_ENOUGH_MEMORY, TLS_OUT_OF_INDEXES);
}

QUARRY_WINAPI Bool TlsFree(Dword index) {
  const std::lock_guard<std::mutex> lock(slotsLock);
  if (index >= TLS_SLOT_COUNT || !slotsInUse[index]) {
    return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  }
  slotsInUse[index] = false;
  setTlsSlot(index, nullptr);
  return BOOL_TRUE;
}

// Windows clears the last error on success, so a null value can be told from a failure.
QUARRY_WINAPI void* TlsGetValue(Dword index) {
  if (index >= TLS_SLOT_COUNT) return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  setLastError(ERROR_SUCCESS);
  return tlsSlot(index);
}

QUARRY_WINAPI Bool TlsSetValue(Dword index, void* value) {
  if (index >= TLS_SLOT_COUNT) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  setTlsSlot(index, value);
  return BOOL_TRUE;
}

QUARRY_WINAPI void InitializeSListHead(void* head) {
  if (head != nullptr) std::memset(head, 0, SLIST_HEADER_SIZE);
}

QUARRY_WINAPI Dword GetCurrentThreadId() {
  return static_cast<Dword>(gettid());
}

QUARRY_WINAPI Dword GetCurrentProcessId() {
  return static_cast<Dword>(getpid());
}

QUARRY_WINAPI void Sleep(Dword milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  while (milliseconds == INFINITE) pause();
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(InitializeCriticalSectionAndSpinCount),
    QUARRY_KERNEL32_FUNCTION(InitializeCriticalSectionEx),
    QUARRY_KERNEL32_FUNCTION(InitializeCriticalSection),
    QUARRY_KERNEL32_FUNCTION(DeleteCriticalSection),
    QUARRY_KERNEL32_FUNCTION(EnterCriticalSection),
    QUARRY_KERNEL32_FUNCTION(LeaveCriticalSection),
    QUARRY_KERNEL32_FUNCTION(TlsAlloc),
    QUARRY_KERNEL32_FUNCTION(TlsFree),
    QUARRY_KERNEL32_FUNCTION(TlsGetValue),
    QUARRY_KERNEL32_FUNCTION(TlsSetValue),
    QUARRY_KERNEL32_FUNCTION(InitializeSListHead),
    QUARRY_KERNEL32_FUNCTION(GetCurrentThreadId),
    QUARRY_KERNEL32_FUNCTION(GetCurrentProcessId),
    QUARRY_KERNEL32_FUNCTION(Sleep),
};

}  // namespace

std::span<const Function> threadFunctions() {
  return FUNCTIONS;
}

}  // namespace quarry::kernel32
