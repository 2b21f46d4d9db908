// Calling the KERNEL32 functions that Quarry offers a Windows library as the library calls
// them: found through the table, with Microsoft's calling convention.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "loader/kernel32-linux.h"

namespace quarry {

#define MS_ABI __attribute__((ms_abi))
using Dword = std::uint32_t;
using Bool = std::int32_t;

template <typename Signature>
Signature* shim(const char* name) {
  void* function = kernel32Function(name);
  EXPECT_NE(function, nullptr) << name;
  return reinterpret_cast<Signature*>(function);
}

inline Dword lastErrorAfterwards() {
  return shim<Dword MS_ABI()>("GetLastError")();
}

template <typename Value>
Value fieldOf(const std::uint8_t* block, std::size_t offset) {
  Value value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

inline void clearLastError() {
  shim<void MS_ABI(Dword)>("SetLastError")(0);
}

}  // namespace quarry
