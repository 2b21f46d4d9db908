// The test codec's decoder, on its own: the bare Windows test decoder builds it without any
// C or C++ runtime library, so it uses nothing but memcpy and header-only templates.
#include <algorithm>
#include <cstring>

#include "support/test_codec.h"

namespace quarry::testing {
namespace {

// Copies length bytes that start distance bytes back. When they overlap, the bytes between
// the source and the destination repeat, so each pass can copy all that is already written,
// doubling the stride instead of going byte by byte.
void copyMatch(std::uint8_t* to, std::uint64_t distance, std::uint64_t length) {
  const std::uint8_t* from = to - distance;
  while (length > 0) {
    const std::uint64_t step = std::min<std::uint64_t>(length, to - from);
    std::memcpy(to, from, step);
    to += step;
    length -= step;
  }
}

}  // namespace

std::uint64_t decodeTestCodec(const std::uint8_t* in, std::uint64_t inSize, std::uint8_t* out,
                              std::uint64_t outCapacity) {
  std::uint64_t read = 0;
  std::uint64_t written = 0;
  while (read < inSize && written < outCapacity) {
    const std::uint8_t control = in[read++];
    const std::uint64_t lengthCode = control & CODEC_LENGTH_MASK;
    if ((control & CODEC_MATCH_FLAG) == 0) {
      const std::uint64_t run = lengthCode + 1;
      const std::uint64_t copied = std::min({run, inSize - read, outCapacity - written});
      std::memcpy(out + written, in + read, copied);
      // A run cut short leaves the stream or the output exhausted, which ends the loop.
      read += copied;
      written += copied;
      continue;
    }
    if (inSize - read < 2) break;
    const std::uint64_t distance = std::uint64_t{in[read]} | std::uint64_t{in[read + 1]} << 8;
    read += 2;
    std::uint64_t length = lengthCode + CODEC_MIN_MATCH;
    // Each extra byte adds at most 255, so the sum cannot overflow for any input in memory.
    bool more = lengthCode == CODEC_LENGTH_MASK;
    while (more && read < inSize) {
      const std::uint8_t extra = in[read++];
      length += extra;
      more = extra == CODEC_LENGTH_CONTINUES;
    }
    if (more || distance == 0 || distance > written) break;
    const std::uint64_t copied = std::min(length, outCapacity - written);
    copyMatch(out + written, distance, copied);
    written += copied;
  }
  return written;
}

}  // namespace quarry::testing
