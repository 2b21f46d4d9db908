#include "decoder/thread_environment-linux.h"

#include <asm/prctl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "decoder/kernel32-linux.h"
#include "decoder/kernel32_parts-linux.h"

namespace quarry {
namespace {

using kernel32::fieldAt;
using kernel32::putField;

// Larger than either block's 64-bit layout; what lies past the fields filled in stays zero.
constexpr std::size_t TEB_SIZE = 0x2000;
constexpr std::size_t PEB_SIZE = 0x1000;
constexpr std::uint32_t WINDOWS_10_BUILD = 19041;

alignas(4096) std::uint8_t teb[TEB_SIZE];
alignas(4096) std::uint8_t peb[PEB_SIZE];
void* moduleTlsBlocks[MODULE_TLS_INDEX + 1];
bool installed = false;

// The calling thread's stack as the system reserved it, so stack probes that compare against
// the limit let it grow as far as Linux would.
bool putStackBounds() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool found = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!found) return false;
  putField(teb, TEB_STACK_LIMIT, lowest);
  putField(teb, TEB_STACK_BASE, static_cast<std::uint8_t*>(lowest) + size);
  return true;
}

void fillProcessEnvironment() {
  putField<std::uint8_t>(peb, PEB_BEING_DEBUGGED, 0);
  putField(peb, PEB_PROCESS_HEAP, processHeapHandle());
  putField(peb, PEB_PROCESSOR_COUNT,
           static_cast<std::uint32_t>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L)));
  putField<std::uint32_t>(peb, PEB_OS_MAJOR_VERSION, 10);
  putField<std::uint32_t>(peb, PEB_OS_MINOR_VERSION, 0);
  putField<std::uint16_t>(peb, PEB_OS_BUILD_NUMBER, WINDOWS_10_BUILD);
}

}  // namespace

bool installThreadEnvironment() {
  if (installed) return true;
  if (!putStackBounds()) return false;
  fillProcessEnvironment();
  putField(teb, TEB_SELF, static_cast<void*>(teb));
  putField(teb, TEB_PROCESS_ID, static_cast<std::uint64_t>(getpid()));
  putField(teb, TEB_THREAD_ID, static_cast<std::uint64_t>(gettid()));
  putField(teb, TEB_TLS_POINTER, static_cast<void*>(moduleTlsBlocks));
  putField(teb, TEB_PEB, static_cast<void*>(peb));
  // glibc keeps its own thread data behind fs; gs is free on 64-bit x86 Linux.
  if (syscall(SYS_arch_prctl, ARCH_SET_GS, teb) != 0) return false;
  installed = true;
  return true;
}

std::uint8_t* threadEnvironment() {
  return teb;
}

std::uint32_t lastError() {
  return fieldAt<std::uint32_t>(teb, TEB_LAST_ERROR);
}

void setLastError(std::uint32_t code) {
  putField(teb, TEB_LAST_ERROR, code);
}

void* tlsSlot(std::uint32_t index) {
  return fieldAt<void*>(teb, TEB_TLS_SLOTS + index * sizeof(void*));
}

void setTlsSlot(std::uint32_t index, void* value) {
  putField(teb, TEB_TLS_SLOTS + index * sizeof(void*), value);
}

void setModuleTlsBlock(void* block) {
  moduleTlsBlocks[MODULE_TLS_INDEX] = block;
}

}  // namespace quarry
