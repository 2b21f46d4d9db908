// An entry's bytes: borrowed from the container when stored, decoded into a buffer of their
// own when compressed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "container/view.h"
#include "decoder/decoder.h"

namespace quarry {

struct FreeBytes {
  void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};
using HeapBytes = std::unique_ptr<std::uint8_t, FreeBytes>;

struct Payload {
  const std::uint8_t* data = nullptr;  // into the container, or into buffer
  std::uint64_t length = 0;
  HeapBytes buffer;     // owns the decoded bytes; empty for stored entries
  bool stored = false;  // data is the entry's stored bytes, borrowed from the container
  std::string problem;  // empty on success; else what follows "File #<index> "
  bool failed() const { return !problem.empty(); }
};

// What follows "File #<index> " when the decoder does not yield the entry.
constexpr char DECOMPRESSION_FAILED[] = "failed decompression :(";

// The entry's content. Stored entries (storedSize == fullSize) are borrowed as they lie;
// others are decoded by decompress into a zero-filled buffer of exactly fullSize bytes.
Payload decodePayload(const ResourceView& view, const EntryRef& entry,
                      const Decompressor& decompress);

}  // namespace quarry
