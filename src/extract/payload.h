// An entry's bytes: borrowed from the container when stored, decoded into a buffer of their
// own when compressed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <variant>

#include "container/view.h"
#include "decoder/decoder.h"
#include "extract/problems.h"

namespace quarry {

// A stored entry's bytes where they lie in the container's mapping, where in its file, and
// the container's owner, which copies them out of the file.
struct StoredBytes {
  ByteSpan bytes;
  std::uint64_t offset = 0;
  MappedFile* file = nullptr;
};

struct FreeBytes {
  void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using HeapBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

// A compressed entry's content, in a buffer of its own (none for empty content).
struct DecodedBytes {
  HeapBytes buffer;
  std::uint64_t length = 0;
  ByteSpan bytes() const { return ByteSpan(buffer.get(), length); }
};

using Payload = std::variant<StoredBytes, DecodedBytes>;

inline std::uint64_t sizeOf(const Payload& payload) {
  if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) return decoded->length;
  return std::get<StoredBytes>(payload).bytes.size();
}

// How an entry's bytes lie in the container.
enum class Storage : std::uint8_t {
  Stored,              // as they are: the stored size is the full size
  Compressed,          // a compressed stream
  CompressedPrefixed,  // PREFIX_SIZE opaque bytes, then a compressed stream
};

// Judged from the entry's record alone, as decodePayload judges it.
Storage storageOf(const EntryRef& entry);

// The entry's content. Stored entries (storedSize == fullSize) are borrowed as they lie;
// others are decoded by decompress into a zero-filled buffer of exactly fullSize bytes.
std::optional<DecodeFailure> decodePayload(ResourceView& view, const EntryRef& entry,
                                           const Decompressor& decompress, Payload& payload);

}  // namespace quarry
