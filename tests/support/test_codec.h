// The tests' own compression format: a small byte-oriented LZ77 that stands in for the game's
// closed codec, so the decoding path can be exercised without it. The test decoder library
// (tests/decoder) decodes it behind the closed library's entry point.
//
// A stream is a sequence of tokens, each led by a control byte:
//   0LLLLLLL                  literal run: the next L + 1 bytes (1..128) are copied out
//   1LLLLLLL d0 d1 [x ...]    match: copy L + 4 bytes starting d0 | d1 << 8 (1..65535) bytes
//                             back in the output; the copy may overlap what it writes. When L
//                             is 127, each following byte x adds to the length, and another
//                             byte follows as long as x is 255.
// There is no header and no end marker: the caller knows how many bytes to expect, and the
// decoder stops once that many have been produced, so bytes after the stream are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarry::testing {

constexpr std::uint8_t CODEC_MATCH_FLAG = 0x80;
constexpr std::uint8_t CODEC_LENGTH_MASK = 0x7F;
constexpr std::size_t CODEC_MAX_LITERAL_RUN = 128;
constexpr std::size_t CODEC_MIN_MATCH = 4;
// The match length that the control byte alone can hold; longer ones carry extra bytes.
constexpr std::size_t CODEC_MAX_SHORT_MATCH = CODEC_MIN_MATCH + CODEC_LENGTH_MASK - 1;
constexpr std::size_t CODEC_MAX_DISTANCE = 0xFFFF;
// An extra length byte of this value is followed by another.
constexpr std::uint8_t CODEC_LENGTH_CONTINUES = 0xFF;

// Greedy single-hash encoder; repetitive data shrinks, random data grows by under 1%.
std::vector<std::uint8_t> encodeTestCodec(const std::uint8_t* data, std::size_t size);

// Decodes into out, never reading past in + inSize, never writing past out + outCapacity and
// never copying from before out. Returns the number of bytes produced: outCapacity for a
// sound stream that holds at least that much, fewer when the stream is truncated, runs out,
// or turns corrupt (a match reaching back before the output), in which case the output ends
// at the last whole token before the fault, or inside a literal run that was cut short.
std::uint64_t decodeTestCodec(const std::uint8_t* in, std::uint64_t inSize, std::uint8_t* out,
                              std::uint64_t outCapacity);

}  // namespace quarry::testing
