// What the KERNEL32 shim files share: the Windows types and error numbers they use, and the
// table part that each file contributes.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "loader/thread_environment-linux.h"
#include "loader/windows_fields.h"

namespace quarry::kernel32 {

#define QUARRY_WINAPI __attribute__((ms_abi))

using Bool = std::int32_t;
using Dword = std::uint32_t;
using Handle = void*;
using WideChar = char16_t;

constexpr Bool BOOL_FALSE = 0;
constexpr Bool BOOL_TRUE = 1;

constexpr Dword ERROR_SUCCESS = 0;
constexpr Dword ERROR_INVALID_HANDLE = 6;
constexpr Dword ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr Dword ERROR_INVALID_PARAMETER = 87;
constexpr Dword ERROR_INSUFFICIENT_BUFFER = 122;
constexpr Dword ERROR_MOD_NOT_FOUND = 126;
constexpr Dword ERROR_PROC_NOT_FOUND = 127;
constexpr Dword ERROR_INVALID_ADDRESS = 487;
constexpr Dword ERROR_NOACCESS = 998;
constexpr Dword ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr Dword ERROR_DYNAMIC_CODE_BLOCKED = 1655;

// The code page of every 8-bit string a library gets or gives: UTF-8, as Linux's text is.
constexpr unsigned CP_UTF8 = 65001;

struct Function {
  std::string_view name;
  void* address;
};

// A table row whose name cannot drift from the function's.
#define QUARRY_KERNEL32_FUNCTION(function)         \
  ::quarry::kernel32::Function {                   \
#function, reinterpret_cast < void*>(function) \
  }

// Each shim file's part of the table.
std::span<const Function> heapFunctions();
std::span<const Function> memoryFunctions();
std::span<const Function> textFunctions();
std::span<const Function> localeFunctions();
std::span<const Function> threadFunctions();
std::span<const Function> systemFunctions();
std::span<const Function> runtimeFunctions();

// The stream (0, 1 or 2) that one of the standard handles GetStdHandle first gives stands
// for; false for any other handle.
bool standardDescriptor(Handle handle, int& descriptor);

// Sets the last error and answers value: the shape of most failures.
template <typename Value>
Value failWith(Dword error, Value value) {
  setLastError(error);
  return value;
}

// Fields of the structures a library hands over, which it owns and lays out as Windows does.
using windows::fieldAt;
using windows::putField;

}  // namespace quarry::kernel32
