// Conversions between the bytes the outside world hands us and the UTF-16 text used inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarry {

// Length of the well-formed UTF-8 sequence at bytes[at], 0 when there is none (overlong
// forms, surrogates and values past U+10FFFF are not well-formed); its code point goes to
// codePoint.
std::size_t utf8SequenceAt(std::string_view bytes, std::size_t at, char32_t& codePoint);

// The code point of the UTF-16 unit(s) at text[at], moving at past them; a lone surrogate
// stands for itself.
char32_t utf16At(std::u16string_view text, std::size_t& at);

// Appends the UTF-8 bytes of one code point.
void appendUtf8(std::string& out, char32_t codePoint);

// True when bytes are well-formed UTF-8: false for any byte sequence that is not (overlong
// forms, surrogates and values past U+10FFFF included).
bool isStrictUtf8(std::string_view bytes);

// Decodes a command-line argument without losing anything: each byte that is not part of
// well-formed UTF-8 becomes the lone surrogate U+DC00 + byte, which encodeLossless restores.
std::u16string decodeLossless(std::string_view bytes);

// UTF-8 for the text, with the lone surrogates of decodeLossless turned back into their bytes.
std::string encodeLossless(std::u16string_view text);

}  // namespace quarry
