// The decoder's entry point in a Windows DLL that Quarry's own loader mapped: the library was
// built for Microsoft's calling convention, not the platform's.
#pragma once

#include <cstdint>

#include "decoder/decoder.h"

namespace quarry {

using WindowsDecompressFn = std::int64_t(__attribute__((ms_abi)) *)(
    const std::uint8_t*, std::int64_t, std::uint8_t*, std::int64_t, std::int32_t, std::int32_t,
    std::int32_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
    std::int64_t, std::int32_t);

inline std::int64_t callWindowsEntry(void* entry, const std::uint8_t* stream,
                                     std::int64_t streamLength, std::uint8_t* output,
                                     std::int64_t expectedLength) {
  const auto decompress = reinterpret_cast<WindowsDecompressFn>(entry);
  return decompress(stream, streamLength, output, expectedLength, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

// A Decompressor that calls entry with Microsoft's convention.
inline Decompressor windowsDecompressor(WindowsDecompressFn entry) {
  Decompressor bound;
  bound.entry = reinterpret_cast<void*>(entry);
  bound.call = callWindowsEntry;
  return bound;
}

}  // namespace quarry
