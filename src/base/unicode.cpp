#include "base/unicode.h"

#include <cstdint>

namespace quarry {

std::size_t utf8SequenceAt(std::string_view bytes, std::size_t at, char32_t& codePoint) {
  const auto lead = static_cast<std::uint8_t>(bytes[at]);
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead > 0xF4 || length == 0 || bytes.size() - at < length) return 0;
  char32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<std::uint8_t>(bytes[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  codePoint = value;
  return length;
}

namespace {

void appendUtf16(std::u16string& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
    return;
  }
  codePoint -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
}

}  // namespace

void appendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | codePoint >> 6));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | codePoint >> 12));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | codePoint >> 18));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

char32_t utf16At(std::u16string_view text, std::size_t& at) {
  const char32_t unit = text[at++];
  const bool high = unit >= 0xD800 && unit <= 0xDBFF;
  if (high && at < text.size() && text[at] >= 0xDC00 && text[at] <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (text[at++] - 0xDC00);
  }
  return unit;
}

namespace {

// Decodes into out; a byte that starts no well-formed sequence goes to invalid, which keeps
// decoding by returning true.
template <typename OnInvalid>
bool decodeUtf8(std::string_view bytes, std::u16string& out, OnInvalid invalid) {
  out.clear();
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t codePoint = 0;
    const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
    if (length == 0 && !invalid(static_cast<std::uint8_t>(bytes[at]))) return false;
    if (length != 0) appendUtf16(out, codePoint);
    at += length == 0 ? 1 : length;
  }
  return true;
}

}  // namespace

bool isStrictUtf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t codePoint = 0;
    const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::u16string decodeLossless(std::string_view bytes) {
  std::u16string out;
  decodeUtf8(bytes, out, [&out](std::uint8_t byte) {
    out.push_back(static_cast<char16_t>(0xDC00 + byte));
    return true;
  });
  return out;
}

std::string encodeLossless(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const char32_t codePoint = utf16At(text, at);
    if (codePoint >= 0xDC80 && codePoint <= 0xDCFF) {
      out.push_back(static_cast<char>(codePoint - 0xDC00));
    } else {
      appendUtf8(out, codePoint);
    }
  }
  return out;
}

}  // namespace quarry
