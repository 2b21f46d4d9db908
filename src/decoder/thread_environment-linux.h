// The Windows thread environment block (TEB) and process environment block (PEB) that Quarry
// gives the one thread that calls into a Windows library it loaded. Code built by Microsoft's
// compiler reads them through the gs segment: the stack's bounds for its stack probes, the TLS
// slots, the last error. Only the fields such a library reads are filled in.
#pragma once

#include <cstdint>

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
constexpr std::uint64_t PEB_PROCESS_HEAP = 0x30;
constexpr std::uint64_t PEB_PROCESSOR_COUNT = 0xB8;
constexpr std::uint64_t PEB_OS_MAJOR_VERSION = 0x118;
constexpr std::uint64_t PEB_OS_MINOR_VERSION = 0x11C;
constexpr std::uint64_t PEB_OS_BUILD_NUMBER = 0x120;

// Fills the blocks and points gs at the TEB, for the calling thread, the first time only.
// False, with errno set, when the system refuses.
bool installThreadEnvironment();

// The TEB, whether or not it is installed yet.
std::uint8_t* threadEnvironment();

// The calling thread's last error, kept in the TEB where Windows keeps it.
std::uint32_t lastError();
void setLastError(std::uint32_t code);

// TLS slot values (TlsGetValue / TlsSetValue); index < TLS_SLOT_COUNT.
void* tlsSlot(std::uint32_t index);
void setTlsSlot(std::uint32_t index, void* value);

// Hands the loaded module's TLS block to its code: ThreadLocalStoragePointer[index] = block.
// The run loads one module, so its index is 0.
constexpr std::uint32_t MODULE_TLS_INDEX = 0;
void setModuleTlsBlock(void* block);

}  // namespace quarry
