// Text from outside (entry names, paths, the system's words) made fit for one line of a
// message: nothing in it can steer the terminal, and nothing makes the line long. And the
// same names made fit for a JSON line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarry {

// Bytes longer than this are shortened in messages to their start and end.
constexpr std::size_t MESSAGE_TEXT_LIMIT = 200;

// Bytes made safe to print on a terminal, on one line of bounded length: control bytes, DEL
// and bytes that are not well-formed UTF-8 become \xNN; C1 controls, bidirectional controls
// and line separators become \u{XXXX}; everything else passes through. Beyond
// MESSAGE_TEXT_LIMIT bytes only the start and the end are kept, joined by "...".
std::string escapeForMessage(std::string_view bytes);

// True for the code points that would steer a terminal or reorder the line around them: C1
// controls, bidirectional marks, embeddings, overrides and isolates, line and paragraph
// separators. Messages and JSON lines both escape them.
bool steersTheTerminal(char32_t codePoint);

// A path as messages show it: as it was given, escaped and shortened.
std::string pathForMessage(std::u16string_view path);

// The bytes as a JSON string: quotes, backslashes and every code point that could steer a
// terminal escaped as \uXXXX; a byte that is not well-formed UTF-8 becomes U+FFFD.
std::string jsonString(std::string_view bytes);

// The bytes as lower-case hexadecimal, two digits each.
std::string hexOf(std::string_view bytes);

}  // namespace quarry
