#include "support/test_codec.h"

#include <algorithm>
#include <cstring>

namespace quarry::testing {
namespace {

constexpr unsigned HASH_BITS = 16;
constexpr std::size_t NO_POSITION = static_cast<std::size_t>(-1);

std::uint32_t hashOfFourBytes(const std::uint8_t* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return (word * 2654435761u) >> (32 - HASH_BITS);
}

std::size_t commonLength(const std::uint8_t* data, std::size_t earlier, std::size_t here,
                         std::size_t size) {
  std::size_t length = 0;
  while (here + length < size && data[earlier + length] == data[here + length]) ++length;
  return length;
}

void appendLiterals(std::vector<std::uint8_t>& out, const std::uint8_t* from, std::size_t count) {
  while (count > 0) {
    const std::size_t run = std::min(count, CODEC_MAX_LITERAL_RUN);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), from, from + run);
    from += run;
    count -= run;
  }
}

void appendMatch(std::vector<std::uint8_t>& out, std::size_t distance, std::size_t length) {
  const std::size_t code = length - CODEC_MIN_MATCH;
  const std::size_t inControl = std::min<std::size_t>(code, CODEC_LENGTH_MASK);
  out.push_back(static_cast<std::uint8_t>(CODEC_MATCH_FLAG | inControl));
  out.push_back(static_cast<std::uint8_t>(distance & 0xFF));
  out.push_back(static_cast<std::uint8_t>(distance >> 8));
  if (inControl < CODEC_LENGTH_MASK) return;
  std::size_t rest = code - CODEC_LENGTH_MASK;
  for (; rest >= CODEC_LENGTH_CONTINUES; rest -= CODEC_LENGTH_CONTINUES)
    out.push_back(CODEC_LENGTH_CONTINUES);
  out.push_back(static_cast<std::uint8_t>(rest));
}

}  // namespace

std::vector<std::uint8_t> encodeTestCodec(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  out.reserve(size + size / CODEC_MAX_LITERAL_RUN + 1);
  std::vector<std::size_t> lastSeen(std::size_t{1} << HASH_BITS, NO_POSITION);
  std::size_t literalStart = 0;
  std::size_t here = 0;
  while (here + CODEC_MIN_MATCH <= size) {
    std::size_t& slot = lastSeen[hashOfFourBytes(data + here)];
    const std::size_t earlier = slot;
    slot = here;
    const bool reachable = earlier != NO_POSITION && here - earlier <= CODEC_MAX_DISTANCE;
    const std::size_t length = reachable ? commonLength(data, earlier, here, size) : 0;
    if (length < CODEC_MIN_MATCH) {
      ++here;
      continue;
    }
    appendLiterals(out, data + literalStart, here - literalStart);
    appendMatch(out, here - earlier, length);
    // Index the matched bytes too, or data that repeats at their distance would be missed.
    const std::size_t end = here + length;
    for (++here; here < end && here + CODEC_MIN_MATCH <= size; ++here) {
      lastSeen[hashOfFourBytes(data + here)] = here;
    }
    here = end;
    literalStart = end;
  }
  appendLiterals(out, data + literalStart, size - literalStart);
  return out;
}

}  // namespace quarry::testing
