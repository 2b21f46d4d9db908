#include "app/message_text.h"

#include <algorithm>
#include <cstdint>

#include "base/unicode.h"

namespace quarry {
namespace {

// Appends the sequence at bytes[at] as a message shows it; returns its length in bytes.
std::size_t appendEscaped(std::string& out, std::string_view bytes, std::size_t at) {
  static const char HEX[] = "0123456789ABCDEF";
  char32_t codePoint = 0;
  const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
  if (length == 0 || codePoint < 0x20 || codePoint == 0x7F) {
    const auto byte = static_cast<std::uint8_t>(bytes[at]);
    out += {'\\', 'x', HEX[byte >> 4], HEX[byte & 0xF]};
    return 1;
  }
  if (steersTheTerminal(codePoint)) {
    out += "\\u{";
    for (int shift = 12; shift >= 0; shift -= 4) out += HEX[codePoint >> shift & 0xF];
    out += '}';
    return length;
  }
  out.append(bytes.substr(at, length));
  return length;
}

// How many bytes from at are printable ASCII, shown as they are.
std::size_t plainRun(std::string_view bytes, std::size_t at) {
  std::size_t end = at;
  while (end < bytes.size() && bytes[end] >= 0x20 && bytes[end] < 0x7F) ++end;
  return end - at;
}

std::string escapeAll(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t plain = plainRun(bytes, at);
    out.append(bytes.substr(at, plain));
    at += plain;
    if (at < bytes.size()) at += appendEscaped(out, bytes, at);
  }
  return out;
}

// Where a tail of about `keep` bytes starts: not inside a UTF-8 sequence when it can help it.
std::size_t tailStart(std::string_view bytes, std::size_t keep) {
  std::size_t at = bytes.size() - keep;
  for (int step = 0; step < 3 && (static_cast<std::uint8_t>(bytes[at]) & 0xC0) == 0x80; ++step) {
    ++at;
  }
  return at;
}

}  // namespace

// U+009B starts an escape sequence on some terminals; the bidirectional controls reorder what
// follows them.
bool steersTheTerminal(char32_t codePoint) {
  return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x061C || codePoint == 0x200E ||
         codePoint == 0x200F || (codePoint >= 0x2028 && codePoint <= 0x202E) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

std::string escapeForMessage(std::string_view bytes) {
  if (bytes.size() <= MESSAGE_TEXT_LIMIT) return escapeAll(bytes);
  // A container may hold names of megabytes: the line keeps the start and the end.
  const std::size_t half = MESSAGE_TEXT_LIMIT / 2;
  std::string out;
  std::size_t at = 0;
  while (at < half) at += appendEscaped(out, bytes, at);
  out += "...";
  return out + escapeAll(bytes.substr(std::max(at, tailStart(bytes, half))));
}

std::string pathForMessage(std::u16string_view path) {
  return escapeForMessage(encodeLossless(path));
}

std::string jsonString(std::string_view bytes) {
  static const char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t at = 0; at < bytes.size();) {
    char32_t codePoint = 0;
    const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    if (codePoint == '"' || codePoint == '\\') {
      out += {'\\', static_cast<char>(codePoint)};
    } else if (codePoint < 0x20 || codePoint == 0x7F || steersTheTerminal(codePoint)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += HEX[codePoint >> shift & 0xF];
    } else {
      out.append(bytes.substr(at, length));
    }
    at += length;
  }
  return out + "\"";
}

std::string hexOf(std::string_view bytes) {
  static const char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<std::uint8_t>(byte);
    out += {HEX[value >> 4], HEX[value & 0xF]};
  }
  return out;
}

}  // namespace quarry
