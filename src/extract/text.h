// Conversions between the bytes the outside world hands us and the UTF-16 paths used inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarry {

// True when bytes are well-formed UTF-8, as decodeUtf8Strict judges them.
bool isStrictUtf8(std::string_view bytes);

// Decodes strictly: false for any byte sequence that is not well-formed UTF-8 (overlong
// forms, surrogates and values past U+10FFFF included).
bool decodeUtf8Strict(std::string_view bytes, std::u16string& out);

// Decodes a command-line argument without losing anything: each byte that is not part of
// well-formed UTF-8 becomes the lone surrogate U+DC00 + byte, which encodeLossless restores.
std::u16string decodeLossless(std::string_view bytes);

// UTF-8 for the text, with the lone surrogates of decodeLossless turned back into their bytes.
std::string encodeLossless(std::u16string_view text);

// Bytes longer than this are shortened in messages to their start and end.
constexpr std::size_t MESSAGE_TEXT_LIMIT = 200;

// Bytes made safe to print on a terminal, on one line of bounded length: control bytes, DEL
// and bytes that are not well-formed UTF-8 become \xNN; C1 controls, bidirectional controls
// and line separators become \u{XXXX}; everything else passes through. Beyond
// MESSAGE_TEXT_LIMIT bytes only the start and the end are kept, joined by "...".
std::string escapeForMessage(std::string_view bytes);

// A path as messages show it: as it was given, escaped and shortened.
std::string pathForMessage(std::u16string_view path);

}  // namespace quarry

#ifdef _WIN32
namespace quarry {
// Windows' wide strings are UTF-16 too: the same units, seen through wchar_t.
inline const wchar_t* asWide(const std::u16string& text) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return reinterpret_cast<const wchar_t*>(text.c_str());
}
}  // namespace quarry
#endif
