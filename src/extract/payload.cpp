#include "extract/payload.h"

#include <limits>
#include <utility>

namespace quarry {
namespace {

// The decoder takes signed lengths; a size past their range cannot be asked for.
constexpr std::uint64_t LARGEST_LENGTH = std::numeric_limits<std::int64_t>::max();

// A zero-filled buffer of exactly size bytes; none at all for size 0.
bool allocateZeroed(std::uint64_t size, HeapBytes& buffer) {
  if (size > LARGEST_LENGTH || size > std::numeric_limits<std::size_t>::max()) return false;
  if (size > 0) buffer.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  return size == 0 || buffer != nullptr;
}

std::optional<DecodeFailure> decode(ByteSpan stream, std::uint64_t fullSize,
                                    const Decompressor& decompress, DecodedBytes& decoded) {
  if (!allocateZeroed(fullSize, decoded.buffer)) {
    DecodeFailure failure(DecodeProblem::OutOfMemory);
    failure.size = fullSize;
    return failure;
  }
  std::optional<DecoderFault> fault;
  const std::int64_t produced =
      callDecoder(decompress, stream.data(), static_cast<std::int64_t>(stream.size()),
                  decoded.buffer.get(), static_cast<std::int64_t>(fullSize), fault);
  if (fault) {
    DecodeFailure failure(DecodeProblem::DecoderFault);
    failure.fault = std::move(*fault);
    return failure;
  }
  if (static_cast<std::uint64_t>(produced) != fullSize) {
    return DecodeFailure(DecodeProblem::DecompressionFailed);
  }
  decoded.length = fullSize;
  return std::nullopt;
}

}  // namespace

Storage storageOf(const EntryRef& entry) {
  if (entry.storedSize == entry.fullSize) return Storage::Stored;
  return (entry.flags & FLAG_PREFIXED) != 0 ? Storage::CompressedPrefixed : Storage::Compressed;
}

std::optional<DecodeFailure> decodePayload(ResourceView& view, const EntryRef& entry,
                                           const Decompressor& decompress, Payload& payload) {
  const ByteSpan stored = storedBytes(view, entry);
  const Storage storage = storageOf(entry);
  if (storage == Storage::Stored) {
    payload = StoredBytes{stored, entry.dataOffset, &view.file};
    return std::nullopt;
  }
  const bool prefixed = storage == Storage::CompressedPrefixed;
  if (prefixed && entry.storedSize < PREFIX_SIZE) {
    return DecodeFailure(DecodeProblem::DecompressionFailed);
  }
  DecodedBytes decoded;
  std::optional<DecodeFailure> failure =
      decode(stored.subspan(prefixed ? PREFIX_SIZE : 0), entry.fullSize, decompress, decoded);
  if (!failure) payload = std::move(decoded);
  return failure;
}

}  // namespace quarry
