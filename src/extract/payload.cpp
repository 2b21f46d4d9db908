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

Payload borrowed(const std::uint8_t* stored, std::uint64_t length) {
  Payload payload;
  payload.data = stored;
  payload.length = length;
  payload.stored = true;
  return payload;
}

// A zero-filled buffer of exactly size bytes; none at all for size 0.
bool allocateZeroed(std::uint64_t size, HeapBytes& buffer) {
  if (size > LARGEST_LENGTH || size > std::numeric_limits<std::size_t>::max()) return false;
  if (size > 0) buffer.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  return size == 0 || buffer != nullptr;
}

}  // namespace

Payload decodePayload(const ResourceView& view, const EntryRef& entry,
                      const Decompressor& decompress) {
  const std::uint8_t* stored = storedBytes(view, entry);
  if (entry.storedSize == entry.fullSize) return borrowed(stored, entry.storedSize);
  const bool prefixed = (entry.flags & FLAG_PREFIXED) != 0;
  if (prefixed && entry.storedSize < PREFIX_SIZE) return failure(DECOMPRESSION_FAILED);
  Payload payload;
  if (!allocateZeroed(entry.fullSize, payload.buffer)) return outOfMemory(entry.fullSize);
  const std::uint64_t skip = prefixed ? PREFIX_SIZE : 0;
  const std::int64_t decoded =
      decompress(stored + skip, static_cast<std::int64_t>(entry.storedSize - skip),
                 payload.buffer.get(), static_cast<std::int64_t>(entry.fullSize));
  if (static_cast<std::uint64_t>(decoded) != entry.fullSize) return failure(DECOMPRESSION_FAILED);
  payload.data = payload.buffer.get();
  payload.length = entry.fullSize;
  return payload;
}

}  // namespace quarry
