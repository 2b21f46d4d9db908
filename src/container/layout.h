// The on-disk layout of a resources container: field positions and record sizes.
#pragma once

#include <cstdint>

#include "base/bytes.h"

namespace quarry {

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

}  // namespace quarry
