#include "extract/payload.h"

#include <cstddef>
#include <limits>

namespace quarry {
namespace {

Payload failure(std::string problem) {
  Payload payload;
  payload.problem = std::move(problem);
  return payload;
}

Payload outOfMemory(std::uint64_t fullSize) {
  return failure("needs " + std::to_string(fullSize) +
                 " bytes of memory to decode, which cannot be had");
}

// The decoder takes signed lengths; a size past their range cannot be asked for.
constexpr std::uint64_t LARGEST_LENGTH = std::numeric_limits<std::int64_t>::max();

}  // namespace

Payload decodePayload(const ResourceView& view, const EntryRef& entry, DecompressFn decompress) {
  const std::uint8_t* stored = storedBytes(view, entry);
  if (entry.storedSize == entry.fullSize) {
    Payload payload;
    payload.data = stored;
    payload.length = entry.storedSize;
    payload.stored = true;
    return payload;
  }
  const bool prefixed = (entry.flags & FLAG_PREFIXED) != 0;
  if (prefixed && entry.storedSize < PREFIX_SIZE) return failure(DECOMPRESSION_FAILED);
  if (entry.fullSize > LARGEST_LENGTH || entry.fullSize > std::numeric_limits<std::size_t>::max()) {
    return outOfMemory(entry.fullSize);
  }
  Payload payload;
  if (entry.fullSize > 0) {
    payload.buffer.reset(static_cast<std::uint8_t*>(std::calloc(entry.fullSize, 1)));
    if (!payload.buffer) {
      return outOfMemory(entry.fullSize);
    }
  }
  const std::uint64_t skip = prefixed ? PREFIX_SIZE : 0;
  const auto streamLength = static_cast<std::int64_t>(entry.storedSize - skip);
  const auto expected = static_cast<std::int64_t>(entry.fullSize);
  const std::int64_t decoded = decompress(stored + skip, streamLength, payload.buffer.get(),
                                          expected, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  if (static_cast<std::uint64_t>(decoded) != entry.fullSize) return failure(DECOMPRESSION_FAILED);
  payload.data = payload.buffer.get();
  payload.length = entry.fullSize;
  return payload;
}

}  // namespace quarry
