// The Windows thread environment block (TEB), process environment block (PEB) and the shared
// user data page that Quarry gives the one thread that calls into a Windows library it loaded.
// Code built by Microsoft's compiler reads them through the gs segment and at 0x7FFE0000: the
// stack's bounds for its stack probes, the TLS slots, the last error, the loaded module, the
// version and the clocks. Only the fields such a library reads are filled in.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/os_error.h"
#include "base/unique_owner.h"

namespace quarry {

// TEB fields (64-bit layout).
constexpr std::uint64_t TEB_STACK_BASE = 0x08;  // the stack's high end
constexpr std::uint64_t TEB_STACK_LIMIT = 0x10;
constexpr std::uint64_t TEB_SELF = 0x30;
constexpr std::uint64_t TEB_PROCESS_ID = 0x40;
constexpr std::uint64_t TEB_THREAD_ID = 0x48;
constexpr std::uint64_t TEB_TLS_POINTER = 0x58;  // ThreadLocalStoragePointer: per-module blocks
constexpr std::uint64_t TEB_PEB = 0x60;
constexpr std::uint64_t TEB_LAST_ERROR = 0x68;
constexpr std::uint64_t TEB_TLS_SLOTS = 0x1480;
constexpr std::uint32_t TLS_SLOT_COUNT = 64;

// PEB fields (64-bit layout).
constexpr std::uint64_t PEB_BEING_DEBUGGED = 0x02;
constexpr std::uint64_t PEB_IMAGE_BASE = 0x10;
constexpr std::uint64_t PEB_LDR = 0x18;
constexpr std::uint64_t PEB_PROCESS_PARAMETERS = 0x20;
constexpr std::uint64_t PEB_PROCESS_HEAP = 0x30;
constexpr std::uint64_t PEB_PROCESSOR_COUNT = 0xB8;
constexpr std::uint64_t PEB_OS_MAJOR_VERSION = 0x118;
constexpr std::uint64_t PEB_OS_MINOR_VERSION = 0x11C;
constexpr std::uint64_t PEB_OS_BUILD_NUMBER = 0x120;

// RTL_USER_PROCESS_PARAMETERS fields; the strings are UNICODE_STRINGs (byte length, room,
// then the pointer at +8).
constexpr std::uint64_t PARAMETERS_STANDARD_INPUT = 0x20;
constexpr std::uint64_t PARAMETERS_IMAGE_PATH = 0x60;
constexpr std::uint64_t PARAMETERS_COMMAND_LINE = 0x70;
constexpr std::uint64_t UNICODE_STRING_BUFFER = 0x08;

// PEB_LDR_DATA and LDR_DATA_TABLE_ENTRY fields.
constexpr std::uint64_t LDR_IN_LOAD_ORDER = 0x10;  // list heads, 16 bytes each
constexpr std::uint64_t ENTRY_DLL_BASE = 0x30;
constexpr std::uint64_t ENTRY_ENTRY_POINT = 0x38;
constexpr std::uint64_t ENTRY_SIZE_OF_IMAGE = 0x40;
constexpr std::uint64_t ENTRY_FULL_NAME = 0x48;
constexpr std::uint64_t ENTRY_BASE_NAME = 0x58;

// KUSER_SHARED_DATA: where every Windows process finds it, and the fields filled in.
constexpr std::uintptr_t SHARED_DATA_ADDRESS = 0x7FFE0000;
constexpr std::uint64_t SHARED_TICK_MULTIPLIER = 0x004;
constexpr std::uint64_t SHARED_INTERRUPT_TIME = 0x008;  // KSYSTEM_TIME: low, high, high again
constexpr std::uint64_t SHARED_SYSTEM_TIME = 0x014;
constexpr std::uint64_t SHARED_IMAGE_NUMBER_LOW = 0x02C;
constexpr std::uint64_t SHARED_SYSTEM_ROOT = 0x030;
constexpr std::uint64_t SHARED_BUILD_NUMBER = 0x260;
constexpr std::uint64_t SHARED_PRODUCT_TYPE = 0x264;
constexpr std::uint64_t SHARED_PRODUCT_TYPE_VALID = 0x268;
constexpr std::uint64_t SHARED_MAJOR_VERSION = 0x26C;
constexpr std::uint64_t SHARED_MINOR_VERSION = 0x270;
constexpr std::uint64_t SHARED_PROCESSOR_FEATURES = 0x274;  // 64 bytes, by PF_* number
constexpr std::uint64_t SHARED_TICK_COUNT = 0x320;          // KSYSTEM_TIME, in milliseconds
constexpr std::uint64_t SHARED_ACTIVE_PROCESSORS = 0x3C0;
constexpr std::uint32_t PROCESSOR_FEATURE_COUNT = 64;

constexpr std::uint32_t WINDOWS_MAJOR_VERSION = 10;
constexpr std::uint32_t WINDOWS_BUILD = 19041;

// What the process blocks say about the process and the library loaded into it.
struct ProcessDescription {
  void* heap = nullptr;
  void* imageBase = nullptr;  // the library's: there is no Windows program image here
  std::uint32_t imageSize = 0;
  void* entryPoint = nullptr;
  std::string imagePath;    // the library's file, UTF-8
  std::string commandLine;  // as Windows would quote it, UTF-8
  void* standardHandles[3] = {};
  bool processorFeatures[PROCESSOR_FEATURE_COUNT] = {};
};

// Fills the blocks and points gs at the TEB, for the calling thread, the first time only; the
// process blocks describe the process each time; the system's refusal, if it refuses. The
// shared data page is left out where its address is taken.
OsResult installThreadEnvironment(const ProcessDescription& process);

// Brings the shared data page's clocks up to date, as Windows keeps them; before each call.
void refreshSharedData();

// The calling thread's last error, kept in the TEB where Windows keeps it.
std::uint32_t lastError();
void setLastError(std::uint32_t code);

// TLS slot values (TlsGetValue / TlsSetValue); index < TLS_SLOT_COUNT.
void* tlsSlot(std::uint32_t index);
void setTlsSlot(std::uint32_t index, void* value);

// A module's TLS block, taken from the heap with the alignment its directory asks for.
inline void freeTlsBlock(void* block) noexcept {
  std::free(block);
}
using UniqueTlsBlock = UniqueOwner<PointerKind<freeTlsBlock>>;

// Hands the loaded module's TLS block to its code (ThreadLocalStoragePointer[index] = block)
// and keeps it from then on; the block of a module loaded before goes. The run loads one
// module, so its index is 0.
constexpr std::uint32_t MODULE_TLS_INDEX = 0;
void setModuleTlsBlock(UniqueTlsBlock block);

}  // namespace quarry
