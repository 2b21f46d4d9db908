// Fields of the Windows structures that Quarry fills or reads on a loaded library's behalf,
// laid out as Windows lays them out; memcpy keeps the reads and writes free of alignment and
// aliasing questions.
#pragma once

#include <cstdint>
#include <cstring>

namespace quarry::windows {

template <typename Value>
void putField(void* block, std::size_t offset, Value value) {
  std::memcpy(static_cast<std::uint8_t*>(block) + offset, &value, sizeof value);
}

template <typename Value>
Value fieldAt(const void* block, std::size_t offset) {
  Value value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(block) + offset, sizeof value);
  return value;
}

}  // namespace quarry::windows
