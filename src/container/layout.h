// The on-disk layout of a resources container: field positions, record sizes and the
// unaligned little-endian readers that every parser of it uses.
#pragma once

#include <cstdint>

namespace quarry {

// A read-only run of bytes: the mapped container, or memory that a test or the fuzzer owns.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
};

// Header, at offset 0. Nothing past HEADER_SIZE is read.
constexpr std::uint64_t HEADER_SIZE = 0x68;
constexpr std::uint64_t HEADER_ENTRY_COUNT = 0x20;
constexpr std::uint64_t HEADER_INDEX_WORD_COUNT = 0x28;
constexpr std::uint64_t HEADER_STRING_TABLE_OFFSET = 0x40;
constexpr std::uint64_t HEADER_ENTRY_TABLE_OFFSET = 0x50;
constexpr std::uint64_t HEADER_INDEX_BLOCK_OFFSET = 0x60;

// String table: a 64-bit count, then one 64-bit offset per string, then the string bytes.
constexpr std::uint64_t STRING_COUNT_SIZE = 8;
constexpr std::uint64_t STRING_OFFSET_SIZE = 8;

// Index block: indexWordCount opaque 4-byte words, then one NamePair per entry.
constexpr std::uint64_t INDEX_WORD_SIZE = 4;
constexpr std::uint64_t NAME_PAIR_SIZE = 16;
constexpr std::uint64_t NAME_PAIR_NAME_INDEX = 8;

// Entry table: one fixed-size ResourceEntry record per entry.
constexpr std::uint64_t ENTRY_SIZE = 0x90;
constexpr std::uint64_t ENTRY_DATA_OFFSET = 0x38;
constexpr std::uint64_t ENTRY_STORED_SIZE = 0x40;
constexpr std::uint64_t ENTRY_FULL_SIZE = 0x48;
constexpr std::uint64_t ENTRY_FLAGS = 0x70;

// A compressed entry with this flag carries PREFIX_SIZE opaque bytes before its stream.
constexpr std::uint32_t FLAG_PREFIXED = 4;
constexpr std::uint64_t PREFIX_SIZE = 12;

// Little-endian reads at any alignment; the caller has checked that the bytes exist.
inline std::uint32_t readU32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

inline std::uint64_t readU64(const std::uint8_t* at) {
  return std::uint64_t{readU32(at)} | std::uint64_t{readU32(at + 4)} << 32;
}

// True when [offset, offset + length) lies inside a file of fileSize bytes, without overflow.
inline bool rangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t fileSize) {
  return offset <= fileSize && length <= fileSize - offset;
}

// a * b, or false when the product does not fit in 64 bits.
inline bool multiplyFits(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace quarry
