// The progress bar: its record, its drawing and the five console routines it is drawn with.
#pragma once

#include <cstdint>

#include "console/console.h"

namespace quarry {

struct ProgressBar {
  std::int32_t active;     // 0: drawing does nothing
  const char16_t* label;   // may be null, drawn as empty
  ConsolePosition anchor;  // where the label starts
  std::int32_t labelColour;
  std::int32_t barColour;
};

// Console attribute words: bits 0-3 foreground (1 blue, 2 green, 4 red, 8 bright), bits 4-7
// background, bits 8-15 other flags.
constexpr std::int32_t LABEL_COLOUR = 12;  // bright red
constexpr std::int32_t BAR_COLOUR = 10;    // bright green

// The five routines the drawing is made of.
// count <= 0 writes nothing; otherwise count writes of the whole text (null: zero units).
void writeRepeated(Console& console, const char16_t* text, std::int32_t count);
// Replaces the foreground, keeps the background and clears bits 8-15. 0 when the query fails.
std::int32_t setForegroundColour(Console& console, std::int32_t colour);
// The foreground of the current attributes, 0 when the query fails.
std::int32_t getForegroundColour(Console& console);
// One write of the first count units; returns the units written.
std::uint32_t writeChars(Console& console, const char16_t* text, std::uint32_t count);
// One write of text up to its terminator (zero units for null); true when all were written.
bool writeString(Console& console, const char16_t* text);

// percent is clamped to 1..100. Returns 1 when drawn, 0 when inactive or the console
// cannot be queried.
std::int32_t drawProgressBar(Console& console, const ProgressBar* bar, std::int32_t percent);

// The cursor, or (0,0) when the console cannot be queried.
ConsolePosition getCursorPosition(Console& console);

// The percent the bar shows for a requested one.
std::int32_t clampPercent(std::int32_t percent);

// " [" before the bar's cells and "]" after them.
constexpr std::int32_t BAR_FRAME = 3;

// Cells left on the row after the label, W - X - L; may be negative. The bar, " [" + inner
// cells + "]", is drawn only when this is more than BAR_FRAME.
std::int32_t barSpace(std::int16_t width, std::int16_t anchorColumn, const char16_t* label);
// The '#' cells of inner cells at percent, in single precision as the bar always drew them.
std::int32_t filledCells(std::int32_t inner, std::int32_t percent);

}  // namespace quarry
