#include "decoder/decoder.h"

namespace quarry {
namespace {

struct Call {
  const Decompressor* decompress;
  const std::uint8_t* stream;
  std::int64_t streamLength;
  std::uint8_t* output;
  std::int64_t expectedLength;
  std::int64_t answer = -1;
};

void callInside(void* context) {
  Call& call = *static_cast<Call*>(context);
  call.answer =
      (*call.decompress)(call.stream, call.streamLength, call.output, call.expectedLength);
}

std::int64_t callNative(void* entry, const std::uint8_t* stream, std::int64_t streamLength,
                        std::uint8_t* output, std::int64_t expectedLength) {
  const auto decompress = reinterpret_cast<DecompressFn>(entry);
  return decompress(stream, streamLength, output, expectedLength, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

}  // namespace

Decompressor nativeDecompressor(DecompressFn entry) {
  Decompressor bound;
  bound.entry = reinterpret_cast<void*>(entry);
  bound.call = callNative;
  return bound;
}

DecoderFault describeStop(const Decompressor& decompress, const GuardedStop& stop) {
  DecoderFault fault;
  fault.signal = stop.call != nullptr ? 0 : stop.signal;
  if (stop.call != nullptr) {
    fault.call = stop.call;
  } else {
    fault.where = placeOf(decompress, stop.address);
  }
  return fault;
}

std::int64_t callDecoder(const Decompressor& decompress, const std::uint8_t* stream,
                         std::int64_t streamLength, std::uint8_t* output,
                         std::int64_t expectedLength, std::optional<DecoderFault>& fault) {
  fault.reset();
  if (decompress.beforeCall != nullptr) decompress.beforeCall();
  Call call{&decompress, stream, streamLength, output, expectedLength};
  GuardedStop stop;
  if (runGuarded(callInside, &call, stop)) return call.answer;
  fault = describeStop(decompress, stop);
  return -1;
}

}  // namespace quarry
