// The outside decoder library: its file name, its entry point and how it is called.
#pragma once

#include <cstdint>
#include <string>

namespace quarry {

constexpr char16_t DECODER_LIBRARY[] = u"oo2core_8_win64.dll";
constexpr char DECODER_ENTRY_POINT[] = "OodleLZ_Decompress";

// (stream, stream length, output, expected length, then ten zeros of these widths); returns
// the number of bytes decoded.
using DecompressFn = std::int64_t (*)(const std::uint8_t* stream, std::int64_t streamLength,
                                      std::uint8_t* output, std::int64_t expectedLength,
                                      std::int32_t, std::int32_t, std::int32_t, std::int64_t,
                                      std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                      std::int64_t, std::int32_t);

// Loads the library (beside the program first) and resolves its entry point; the library
// stays loaded until the process ends. Returns null when it cannot, with why set when the
// file was found but would not load or lacks the entry point, and empty when it is missing.
DecompressFn bindDecompressor(std::string& why);

}  // namespace quarry
