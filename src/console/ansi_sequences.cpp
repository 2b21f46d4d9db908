#include "console/ansi_sequences.h"

namespace quarry {
namespace {

// The console's colour bits are blue 1, green 2, red 4; ANSI's index is red 1, green 2, blue 4.
int ansiIndex(int consoleColour) {
  return ((consoleColour & 4) ? 1 : 0) | ((consoleColour & 2) ? 2 : 0) |
         ((consoleColour & 1) ? 4 : 0);
}

int foregroundCode(int colour) {
  if (colour == 7) return 39;
  return ((colour & 8) ? 90 : 30) + ansiIndex(colour);
}

int backgroundCode(int colour) {
  if (colour == 0) return 49;
  return ((colour & 8) ? 100 : 40) + ansiIndex(colour);
}

void appendCodePoint(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

bool isHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::string selectGraphicRendition(std::uint16_t attributes) {
  const int foreground = foregroundCode(attributes & 0x0F);
  const int background = backgroundCode((attributes >> 4) & 0x0F);
  return "\x1b[" + std::to_string(foreground) + ";" + std::to_string(background) + "m";
}

std::string moveToColumn(std::int16_t x) {
  if (x <= 0) return "\r";
  return "\r\x1b[" + std::to_string(x) + "C";
}

void appendUtf8(std::string& out, const char16_t* text, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const char16_t unit = text[k];
    if (isHighSurrogate(unit) && k + 1 < count && isLowSurrogate(text[k + 1])) {
      appendCodePoint(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (text[k + 1] - 0xDC00));
      ++k;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendCodePoint(out, 0xFFFD);
    } else {
      appendCodePoint(out, unit);
    }
  }
}

}  // namespace quarry
