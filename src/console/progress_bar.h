// The progress bar and the few console operations it is drawn with. The drawing runs over
// the Console interface, so the same code drives the Windows console, an ANSI terminal and
// the recorder that the tests read back.
#pragma once

#include <cstdint>

namespace quarry {

// A cell of the console's screen buffer: column x, row y.
struct ConsolePosition {
  std::int16_t x = 0;
  std::int16_t y = 0;
};

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

struct ScreenBufferInfo {
  std::int16_t width = 0;  // buffer width in cells
  ConsolePosition cursor;
  std::uint16_t attributes = 0;
};

// The console operations the bar needs. Output may be held back until flush().
struct Console {
  virtual ~Console() = default;
  virtual bool queryScreenBuffer(ScreenBufferInfo& info) = 0;
  virtual void setCursorPosition(ConsolePosition position) = 0;
  virtual bool setTextAttribute(std::uint16_t attributes) = 0;
  // Returns the number of UTF-16 units written.
  virtual std::uint32_t writeConsole(const char16_t* text, std::uint32_t count) = 0;

  // What keeping error lines above the bar needs beyond the drawing.
  // True when standard error writes to this same console.
  virtual bool sharesStandardError() = 0;
  // Blanks row y and leaves the cursor at its start.
  virtual void eraseRow(std::int16_t y) = 0;
  // Hands held-back output over, before another stream writes to the same console.
  virtual void flush() = 0;
};

// The console of this process (standard output), on Windows or on a POSIX terminal.
Console& processConsole();

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
std::int32_t drawProgressBar(const ProgressBar* bar, std::int32_t percent);

// The cursor, or (0,0) when the console cannot be queried.
ConsolePosition getCursorPosition(Console& console);
ConsolePosition getCursorPosition();

// The percent the bar shows for a requested one.
std::int32_t clampPercent(std::int32_t percent);

// Cells left on the row after the label, W - X - L; may be negative. The bar, " [" + inner
// cells + "]", is drawn only when this is more than 3.
std::int32_t barSpace(std::int16_t width, std::int16_t anchorColumn, const char16_t* label);
// The '#' cells of inner cells at percent, in single precision as the bar always drew them.
std::int32_t filledCells(std::int32_t inner, std::int32_t percent);

}  // namespace quarry
