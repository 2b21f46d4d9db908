// How the console operations are spelled on an ANSI terminal. Portable, so both builds test
// the encoding; only the POSIX back end writes it to a terminal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarry {

// The attribute word an ANSI terminal starts with: light grey on black, which stands for the
// terminal's own colours.
constexpr std::uint16_t TERMINAL_DEFAULT_ATTRIBUTES = 7;

// Clears the current line and returns to its start.
constexpr char ERASE_CURRENT_LINE[] = "\r\x1b[2K";

// The SGR sequence for a console attribute word's foreground and background. Foreground 7
// and background 0 are the terminal's defaults (39, 49); bits 8-15 are not shown.
std::string selectGraphicRendition(std::uint16_t attributes);

// Back to the start of the current line, then forward x columns.
std::string moveToColumn(std::int16_t x);

// Appends UTF-16 text as the terminal takes it, UTF-8; an unpaired surrogate becomes U+FFFD.
void appendTerminalText(std::string& out, std::u16string_view text);

}  // namespace quarry
