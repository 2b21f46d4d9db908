#include "loader/thread_environment-linux.h"

#include <asm/prctl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "base/os_error.h"
#include "base/unicode.h"
#include "base/unique_fd-posix.h"
#include "base/unique_pages-posix.h"
#include "loader/pe_format.h"
#include "loader/windows_fields.h"

namespace quarry {
namespace {

using windows::fieldAt;
using windows::putField;

// Larger than each block's 64-bit layout; what lies past the fields filled in stays zero.
constexpr std::size_t TEB_SIZE = 0x2000;
constexpr std::size_t PEB_SIZE = 0x1000;
constexpr std::size_t PARAMETERS_SIZE = 0x400;
constexpr std::size_t LDR_SIZE = 0x58;
constexpr std::size_t LDR_ENTRY_SIZE = 0x120;
constexpr std::size_t SHARED_DATA_SIZE = 0x1000;
constexpr std::uint32_t ONE_MILLISECOND_TICKS = 1u << 24;  // multiplier: the count is in ms
constexpr std::uint32_t PRODUCT_WORKSTATION = 1;

alignas(pe::PAGE_SIZE) std::uint8_t teb[TEB_SIZE];
alignas(pe::PAGE_SIZE) std::uint8_t peb[PEB_SIZE];
alignas(16) std::uint8_t parameters[PARAMETERS_SIZE];
alignas(16) std::uint8_t loaderData[LDR_SIZE];
alignas(16) std::uint8_t moduleEntry[LDR_ENTRY_SIZE];
void* moduleTlsBlocks[MODULE_TLS_INDEX + 1];
UniqueTlsBlock moduleTlsBlock;  // what moduleTlsBlocks[MODULE_TLS_INDEX] points at
bool installed = false;
// The shared data page as the library sees it (read-only) and as Quarry writes it: one
// memory object mapped twice, so refreshing it needs no change of protection.
std::uint8_t* sharedData = nullptr;

// The strings the blocks point at, kept for as long as the blocks.
std::u16string imagePath, imageName, commandLine;

// The calling thread's stack as the system reserved it, so stack probes that compare against
// the limit let it grow as far as Linux would.
// The pthread calls answer their error number rather than leave it in errno.
OsResult putStackBounds() {
  pthread_attr_t attributes;
  if (const int code = pthread_getattr_np(pthread_self(), &attributes)) return OsResult{code};
  void* lowest = nullptr;
  std::size_t size = 0;
  const int code = pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  if (code != 0) return OsResult{code};
  putField(teb, TEB_STACK_LIMIT, lowest);
  putField(teb, TEB_STACK_BASE, static_cast<std::uint8_t*>(lowest) + size);
  return {};
}

void putUnicodeString(void* block, std::size_t offset, const std::u16string& text) {
  const auto bytes = static_cast<std::uint16_t>(std::min<std::size_t>(text.size() * 2, 0xFFFC));
  putField(block, offset, bytes);
  putField(block, offset + 2, static_cast<std::uint16_t>(bytes + 2));
  putField(block, offset + UNICODE_STRING_BUFFER, text.c_str());
}

// A list of one: the head's links and the entry's point at each other.
void linkOnly(std::uint8_t* head, std::uint8_t* link) {
  for (std::uint8_t* node : {head, link}) {
    std::uint8_t* other = node == head ? link : head;
    putField(node, 0, other);
    putField(node, 8, other);
  }
}

void describeModule(const ProcessDescription& process) {
  imagePath = decodeLossless(process.imagePath);
  imageName = imagePath.substr(imagePath.rfind(u'/') + 1);
  putField<std::uint32_t>(loaderData, 0, LDR_SIZE);
  putField<std::uint8_t>(loaderData, 4, 1);  // Initialized
  putField(moduleEntry, ENTRY_DLL_BASE, process.imageBase);
  putField(moduleEntry, ENTRY_ENTRY_POINT, process.entryPoint);
  putField(moduleEntry, ENTRY_SIZE_OF_IMAGE, process.imageSize);
  putUnicodeString(moduleEntry, ENTRY_FULL_NAME, imagePath);
  putUnicodeString(moduleEntry, ENTRY_BASE_NAME, imageName);
  // The same entry in the three orders: loaded, in memory, initialised.
  for (std::size_t list = 0; list < 3; ++list) {
    linkOnly(loaderData + LDR_IN_LOAD_ORDER + 16 * list, moduleEntry + 16 * list);
  }
}

void describeParameters(const ProcessDescription& process) {
  commandLine = decodeLossless(process.commandLine);
  putField<std::uint32_t>(parameters, 0, PARAMETERS_SIZE);
  putField<std::uint32_t>(parameters, 4, PARAMETERS_SIZE);
  for (std::size_t k = 0; k < 3; ++k) {
    putField(parameters, PARAMETERS_STANDARD_INPUT + 8 * k, process.standardHandles[k]);
  }
  putUnicodeString(parameters, PARAMETERS_IMAGE_PATH, imagePath);
  putUnicodeString(parameters, PARAMETERS_COMMAND_LINE, commandLine);
}

void describeProcess(const ProcessDescription& process) {
  describeModule(process);
  describeParameters(process);
  putField<std::uint8_t>(peb, PEB_BEING_DEBUGGED, 0);
  putField(peb, PEB_IMAGE_BASE, process.imageBase);
  putField(peb, PEB_LDR, static_cast<void*>(loaderData));
  putField(peb, PEB_PROCESS_PARAMETERS, static_cast<void*>(parameters));
  putField(peb, PEB_PROCESS_HEAP, process.heap);
  putField(peb, PEB_PROCESSOR_COUNT,
           static_cast<std::uint32_t>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L)));
  putField<std::uint32_t>(peb, PEB_OS_MAJOR_VERSION, WINDOWS_MAJOR_VERSION);
  putField<std::uint32_t>(peb, PEB_OS_MINOR_VERSION, 0);
  putField<std::uint16_t>(peb, PEB_OS_BUILD_NUMBER, WINDOWS_BUILD);
}

// The page at its fixed address, read-only there; Quarry's own view of it is writable.
std::uint8_t* mapSharedData() {
  const UniqueFd memory(
      static_cast<int>(syscall(SYS_memfd_create, "quarry-shared-data", MFD_CLOEXEC)));
  if (!memory.valid()) return nullptr;
  UniquePages writable;
  if (ftruncate(memory.get(), SHARED_DATA_SIZE) == 0) {
    writable.reset(
        {mmap(nullptr, SHARED_DATA_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, memory.get(), 0),
         SHARED_DATA_SIZE});
  }
  if (!writable.valid()) return nullptr;
  UniquePages fixed({mmap(reinterpret_cast<void*>(SHARED_DATA_ADDRESS), SHARED_DATA_SIZE, PROT_READ,
                          MAP_SHARED | MAP_FIXED_NOREPLACE, memory.get(), 0),
                     SHARED_DATA_SIZE});
  // A kernel that took the address only as a hint put it elsewhere: both go.
  if (fixed.get().base != reinterpret_cast<void*>(SHARED_DATA_ADDRESS)) return nullptr;
  fixed.release();  // both stay for the life of the process
  return static_cast<std::uint8_t*>(writable.release().base);
}

// KSYSTEM_TIME: the high part twice around the low one, so a reader can tell a torn read.
void putSystemTime(std::uint64_t offset, std::uint64_t value) {
  putField(sharedData, offset + 8, static_cast<std::uint32_t>(value >> 32));
  putField(sharedData, offset, static_cast<std::uint32_t>(value));
  putField(sharedData, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

void describeMachine(const ProcessDescription& process) {
  putField(sharedData, SHARED_TICK_MULTIPLIER, ONE_MILLISECOND_TICKS);
  putField(sharedData, SHARED_IMAGE_NUMBER_LOW, pe::MACHINE_AMD64);
  putField(sharedData, SHARED_IMAGE_NUMBER_LOW + 2, pe::MACHINE_AMD64);
  const std::u16string root = u"C:\\Windows";
  std::memcpy(sharedData + SHARED_SYSTEM_ROOT, root.c_str(), (root.size() + 1) * 2);
  putField(sharedData, SHARED_BUILD_NUMBER, WINDOWS_BUILD);
  putField(sharedData, SHARED_PRODUCT_TYPE, PRODUCT_WORKSTATION);
  putField<std::uint8_t>(sharedData, SHARED_PRODUCT_TYPE_VALID, 1);
  putField(sharedData, SHARED_MAJOR_VERSION, WINDOWS_MAJOR_VERSION);
  putField<std::uint32_t>(sharedData, SHARED_MINOR_VERSION, 0);
  for (std::uint32_t k = 0; k < PROCESSOR_FEATURE_COUNT; ++k) {
    putField<std::uint8_t>(sharedData, SHARED_PROCESSOR_FEATURES + k, process.processorFeatures[k]);
  }
  putField(sharedData, SHARED_ACTIVE_PROCESSORS,
           static_cast<std::uint32_t>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L)));
  refreshSharedData();
}

}  // namespace

OsResult installThreadEnvironment(const ProcessDescription& process) {
  describeProcess(process);
  if (sharedData == nullptr) sharedData = mapSharedData();
  if (sharedData != nullptr) describeMachine(process);
  if (installed) return {};
  if (const OsResult stack = putStackBounds(); !stack.ok()) return stack;
  putField(teb, TEB_SELF, static_cast<void*>(teb));
  putField(teb, TEB_PROCESS_ID, static_cast<std::uint64_t>(getpid()));
  putField(teb, TEB_THREAD_ID, static_cast<std::uint64_t>(gettid()));
  putField(teb, TEB_TLS_POINTER, static_cast<void*>(moduleTlsBlocks));
  putField(teb, TEB_PEB, static_cast<void*>(peb));
  // glibc keeps its own thread data behind fs; gs is free on 64-bit x86 Linux.
  if (syscall(SYS_arch_prctl, ARCH_SET_GS, teb) != 0) return lastOsFailure();
  installed = true;
  return {};
}

void refreshSharedData() {
  if (sharedData == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t sinceBoot = windows::ticksOf(now);
  putSystemTime(SHARED_INTERRUPT_TIME, sinceBoot);
  putSystemTime(SHARED_TICK_COUNT, sinceBoot / 10000);
  putField(sharedData, 0, static_cast<std::uint32_t>(sinceBoot / 10000));
  putSystemTime(SHARED_SYSTEM_TIME, windows::fileTimeNow());
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

void setModuleTlsBlock(UniqueTlsBlock block) {
  moduleTlsBlock = std::move(block);
  moduleTlsBlocks[MODULE_TLS_INDEX] = moduleTlsBlock.get();
}

}  // namespace quarry
