// Fields of the Windows structures that Quarry fills or reads on a loaded library's behalf,
// laid out as Windows lays them out; memcpy keeps the reads and writes free of alignment and
// aliasing questions.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>

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

// Windows' clocks count 100 ns ticks, its wall clock (FILETIME) since 1601; Linux's count
// seconds and nanoseconds, its wall clock since 1970.
constexpr std::uint64_t SECONDS_1601_TO_1970 = 11644473600;
constexpr std::uint64_t TICKS_PER_SECOND = 10000000;

// A Linux clock's reading in Windows' ticks, from the same start.
inline std::uint64_t ticksOf(const timespec& time) {
  return static_cast<std::uint64_t>(time.tv_sec) * TICKS_PER_SECOND +
         static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

// The wall clock as a FILETIME.
inline std::uint64_t fileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return ticksOf(now) + SECONDS_1601_TO_1970 * TICKS_PER_SECOND;
}

}  // namespace quarry::windows
