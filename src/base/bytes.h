// Runs of bytes and the unaligned little-endian reads that every parser of untrusted bytes
// (the container, a Windows library image) is made of.
#pragma once

#include <cstdint>
#include <span>

namespace quarry {

// A read-only run of bytes: a mapped file, or memory that a test or the fuzzer owns.
using ByteSpan = std::span<const std::uint8_t>;

// Little-endian reads at any alignment; the caller has checked that the bytes exist.
inline std::uint16_t readU16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t readU32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

inline std::uint64_t readU64(const std::uint8_t* at) {
  return std::uint64_t{readU32(at)} | std::uint64_t{readU32(at + 4)} << 32;
}

// True when [offset, offset + length) lies inside a run of size bytes, without overflow.
inline bool rangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

// value rounded down or up to a multiple of step (step > 0; rounding up must not overflow).
constexpr std::uint64_t roundDown(std::uint64_t value, std::uint64_t step) {
  return value / step * step;
}

constexpr std::uint64_t roundUp(std::uint64_t value, std::uint64_t step) {
  return roundDown(value + step - 1, step);
}

// a * b, or false when the product does not fit in 64 bits.
inline bool multiplyFits(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace quarry
