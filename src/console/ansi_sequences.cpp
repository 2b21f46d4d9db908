#include "console/ansi_sequences.h"

#include "base/unicode.h"

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

void appendTerminalText(std::string& out, std::u16string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const char32_t codePoint = utf16At(text, at);
    const bool loneSurrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    appendUtf8(out, loneSurrogate ? 0xFFFD : codePoint);
  }
}

}  // namespace quarry
