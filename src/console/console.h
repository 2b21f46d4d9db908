// The console the progress bar is drawn on: the few operations the drawing needs, behind one
// interface, so the same drawing drives the Windows console, an ANSI terminal and the
// recorder that the tests read back.
#pragma once

#include <cstdint>
#include <memory>

namespace quarry {

// A cell of the console's screen buffer: column x, row y.
struct ConsolePosition {
  std::int16_t x = 0;
  std::int16_t y = 0;
};

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

// The console of this process's standard output: the Windows console, or a POSIX terminal.
// The run takes it from main; it draws nothing when standard output is not a console.
std::unique_ptr<Console> makeProcessConsole();

}  // namespace quarry
