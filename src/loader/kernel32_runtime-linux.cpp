// What a statically linked C runtime's start-up asks of KERNEL32, for a Windows library that
// Quarry loaded: fiber-local storage on the one thread, lock-free list heads, code-page
// questions for UTF-8, writes to Quarry's own standard streams, and Windows' answers where a
// decoder has no business: no file is opened or found.
#include <fcntl.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/unicode.h"
#include "base/write_all-posix.h"
#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"

namespace quarry::kernel32 {
namespace {

constexpr Dword ERROR_FILE_NOT_FOUND = 2;
constexpr Dword ERROR_ACCESS_DENIED = 5;
constexpr Dword ERROR_NO_MORE_FILES = 18;
const Handle INVALID_HANDLE_VALUE = reinterpret_cast<Handle>(-1);

// Fiber-local storage: one fiber per thread here, so a slot per index, with the callback that
// FlsFree runs on the value, as Windows runs it.
constexpr Dword FLS_SLOT_COUNT = 128;
constexpr Dword FLS_OUT_OF_INDEXES = 0xFFFFFFFF;
using FlsCallback = void(QUARRY_WINAPI*)(void*);

std::mutex flsLock;
std::bitset<FLS_SLOT_COUNT> flsInUse;
void* flsValues[FLS_SLOT_COUNT];
FlsCallback flsCallbacks[FLS_SLOT_COUNT];

QUARRY_WINAPI Dword FlsAlloc(FlsCallback callback) {
  const std::lock_guard<std::mutex> lock(flsLock);
  for (Dword index = 0; index < FLS_SLOT_COUNT; ++index) {
    if (flsInUse[index]) continue;
    flsInUse[index] = true;
    flsValues[index] = nullptr;
    flsCallbacks[index] = callback;
    return index;
  }
  return failWith(ERROR_NOT_ENOUGH_MEMORY, FLS_OUT_OF_INDEXES);
}

QUARRY_WINAPI Bool FlsFree(Dword index) {
  FlsCallback callback = nullptr;
  void* value = nullptr;
  {
    const std::lock_guard<std::mutex> lock(flsLock);
    if (index >= FLS_SLOT_COUNT || !flsInUse[index]) {
      return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
    }
    flsInUse[index] = false;
    callback = flsCallbacks[index];
    value = flsValues[index];
  }
  if (callback != nullptr && value != nullptr) callback(value);
  return BOOL_TRUE;
}

QUARRY_WINAPI void* FlsGetValue(Dword index) {
  if (index >= FLS_SLOT_COUNT || !flsInUse[index]) {
    return failWith<void*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  setLastError(ERROR_SUCCESS);
  return flsValues[index];
}

QUARRY_WINAPI Bool FlsSetValue(Dword index, void* value) {
  if (index >= FLS_SLOT_COUNT || !flsInUse[index]) {
    return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  }
  flsValues[index] = value;
  return BOOL_TRUE;
}

// SLIST_HEADER as Quarry keeps it: the depth in the first 8 bytes, the first entry in the
// next 8; an entry's first 8 bytes point at the next. InitializeSListHead zeroes both.
std::mutex listLock;

QUARRY_WINAPI void* InterlockedPushEntrySList(void* head, void* entry) {
  const std::lock_guard<std::mutex> lock(listLock);
  void* first = fieldAt<void*>(head, 8);
  putField(entry, 0, first);
  putField(head, 8, entry);
  putField(head, 0, fieldAt<std::uint64_t>(head, 0) + 1);
  return first;
}

QUARRY_WINAPI void* InterlockedPopEntrySList(void* head) {
  const std::lock_guard<std::mutex> lock(listLock);
  void* first = fieldAt<void*>(head, 8);
  if (first == nullptr) return nullptr;
  putField(head, 8, fieldAt<void*>(first, 0));
  putField(head, 0, fieldAt<std::uint64_t>(head, 0) - 1);
  return first;
}

QUARRY_WINAPI void* InterlockedFlushSList(void* head) {
  const std::lock_guard<std::mutex> lock(listLock);
  void* first = fieldAt<void*>(head, 8);
  putField<void*>(head, 8, nullptr);
  putField<std::uint64_t>(head, 0, 0);
  return first;
}

// Code pages: the ANSI and OEM code page is CP_UTF8.
constexpr std::size_t CP_INFO_SIZE = 20;  // MaxCharSize, DefaultChar[2], LeadByte[12]

QUARRY_WINAPI unsigned GetOEMCP() {
  return CP_UTF8;
}

QUARRY_WINAPI Bool IsValidCodePage(unsigned codePage) {
  return codePage == CP_UTF8 ? BOOL_TRUE : BOOL_FALSE;
}

QUARRY_WINAPI Bool GetCPInfo(unsigned codePage, void* info) {
  if (info == nullptr) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  if (codePage != CP_UTF8 && codePage != 0 && codePage != 1 && codePage != 3) {
    return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  }
  std::memset(info, 0, CP_INFO_SIZE);
  putField<std::uint32_t>(info, 0, 4);
  putField<std::uint8_t>(info, 4, '?');
  return BOOL_TRUE;
}

QUARRY_WINAPI unsigned GetConsoleCP() {
  return CP_UTF8;
}

QUARRY_WINAPI unsigned GetConsoleOutputCP() {
  return CP_UTF8;
}

// The standard handles are Quarry's own streams: writes go there; they are never closed.
// Each handle stays its stream's whatever SetStdHandle recorded since.
bool standardStream(Handle handle, int& descriptor) {
  return standardDescriptor(handle, descriptor) && fcntl(descriptor, F_GETFD) != -1;
}

QUARRY_WINAPI Bool WriteFile(Handle file, const void* bytes, Dword size, Dword* written, void*) {
  int descriptor = -1;
  if (written != nullptr) *written = 0;
  if (!standardStream(file, descriptor) || descriptor == 0) {
    return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  }
  if (!writeAll(descriptor, ByteSpan(static_cast<const std::uint8_t*>(bytes), size)).ok()) {
    return failWith(ERROR_ACCESS_DENIED, BOOL_FALSE);
  }
  if (written != nullptr) *written = size;
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool WriteConsoleW(Handle console, const WideChar* text, Dword length, Dword* written,
                                 void*) {
  int descriptor = -1;
  if (!standardStream(console, descriptor) || !isatty(descriptor)) {
    return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  }
  const std::string bytes = encodeLossless(std::u16string_view(text, length));
  const ByteSpan span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (!writeAll(descriptor, span).ok()) {
    return failWith(ERROR_ACCESS_DENIED, BOOL_FALSE);
  }
  if (written != nullptr) *written = length;
  return BOOL_TRUE;
}

// A console is a terminal here; its mode is processed output and echoed, line input.
QUARRY_WINAPI Bool GetConsoleMode(Handle console, Dword* mode) {
  int descriptor = -1;
  if (mode == nullptr || !standardStream(console, descriptor) || !isatty(descriptor)) {
    return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
  }
  *mode = descriptor == 0 ? 0x7 : 0x3;
  return BOOL_TRUE;
}

QUARRY_WINAPI Bool FlushFileBuffers(Handle file) {
  int descriptor = -1;
  return standardStream(file, descriptor) ? BOOL_TRUE : failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

QUARRY_WINAPI Bool CloseHandle(Handle handle) {
  int descriptor = -1;
  return standardStream(handle, descriptor) ? BOOL_TRUE
                                            : failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

// No file is opened or found for the library: Windows' answers for a file it may not open.
QUARRY_WINAPI Handle CreateFileW(const WideChar*, Dword, Dword, void*, Dword, Dword, Handle) {
  return failWith(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
}

QUARRY_WINAPI Handle FindFirstFileExW(const WideChar*, int, void*, int, void*, Dword) {
  return failWith(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
}

QUARRY_WINAPI Bool FindNextFileW(Handle, void*) {
  return failWith(ERROR_NO_MORE_FILES, BOOL_FALSE);
}

QUARRY_WINAPI Bool FindClose(Handle) {
  return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

QUARRY_WINAPI Bool ReadFile(Handle, void*, Dword, Dword* read, void*) {
  if (read != nullptr) *read = 0;
  return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

QUARRY_WINAPI Bool SetFilePointerEx(Handle, std::int64_t, std::int64_t*, Dword) {
  return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

QUARRY_WINAPI Bool GetFileSizeEx(Handle, std::int64_t*) {
  return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

QUARRY_WINAPI const WideChar* GetCommandLineW() {
  static const std::u16string line = decodeLossless(windowsCommandLine());
  return line.c_str();
}

// The process's own environment, as on Windows; a null value removes the variable.
QUARRY_WINAPI Bool SetEnvironmentVariableW(const WideChar* name, const WideChar* value) {
  if (name == nullptr || *name == 0) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const std::string variable = encodeLossless(name);
  if (variable.find('=') != std::string::npos) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const int result = value == nullptr ? unsetenv(variable.c_str())
                                      : setenv(variable.c_str(), encodeLossless(value).c_str(), 1);
  return result == 0 ? BOOL_TRUE : failWith(ERROR_NOT_ENOUGH_MEMORY, BOOL_FALSE);
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(FlsAlloc),
    QUARRY_KERNEL32_FUNCTION(FlsFree),
    QUARRY_KERNEL32_FUNCTION(FlsGetValue),
    QUARRY_KERNEL32_FUNCTION(FlsSetValue),
    QUARRY_KERNEL32_FUNCTION(InterlockedPushEntrySList),
    QUARRY_KERNEL32_FUNCTION(InterlockedPopEntrySList),
    QUARRY_KERNEL32_FUNCTION(InterlockedFlushSList),
    QUARRY_KERNEL32_FUNCTION(GetOEMCP),
    QUARRY_KERNEL32_FUNCTION(IsValidCodePage),
    QUARRY_KERNEL32_FUNCTION(GetCPInfo),
    QUARRY_KERNEL32_FUNCTION(GetConsoleCP),
    QUARRY_KERNEL32_FUNCTION(GetConsoleOutputCP),
    QUARRY_KERNEL32_FUNCTION(WriteFile),
    QUARRY_KERNEL32_FUNCTION(WriteConsoleW),
    QUARRY_KERNEL32_FUNCTION(GetConsoleMode),
    QUARRY_KERNEL32_FUNCTION(FlushFileBuffers),
    QUARRY_KERNEL32_FUNCTION(CloseHandle),
    QUARRY_KERNEL32_FUNCTION(CreateFileW),
    QUARRY_KERNEL32_FUNCTION(FindFirstFileExW),
    QUARRY_KERNEL32_FUNCTION(FindNextFileW),
    QUARRY_KERNEL32_FUNCTION(FindClose),
    QUARRY_KERNEL32_FUNCTION(ReadFile),
    QUARRY_KERNEL32_FUNCTION(SetFilePointerEx),
    QUARRY_KERNEL32_FUNCTION(GetFileSizeEx),
    QUARRY_KERNEL32_FUNCTION(GetCommandLineW),
    QUARRY_KERNEL32_FUNCTION(SetEnvironmentVariableW),
};

}  // namespace

std::span<const Function> runtimeFunctions() {
  return FUNCTIONS;
}

}  // namespace quarry::kernel32
