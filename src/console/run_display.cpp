#include "console/run_display.h"

#include <algorithm>
#include <cmath>
#include <ostream>

namespace quarry {
namespace {

constexpr std::int32_t NOT_DRAWN = -1;

// A bar that reaches the last column moves a Windows console's cursor to the next row; on
// the buffer's last row that scrolls everything up one, the bar too. The anchor follows the
// bar, or every later drawing would scroll again and leave a stack of bars behind.
void followScroll(Console& console, ProgressDisplay& display, std::int16_t width) {
  ConsolePosition& anchor = display.bar.anchor;
  if (barSpace(width, anchor.x, display.bar.label) <= BAR_FRAME) return;  // stops short of the edge
  const ConsolePosition cursor = getCursorPosition(console);
  if (anchor.y > 0 && cursor.x == 0 && cursor.y == anchor.y) --anchor.y;
}

// Draws percent (already clamped) and keeps what appeared, for skipping unchanged redraws.
void drawAndRecord(Console& console, ProgressDisplay& display, std::int32_t percent,
                   std::int16_t width) {
  display.drawnPercent = NOT_DRAWN;
  const bool drawn = drawProgressBar(console, &display.bar, percent) != 0;
  if (drawn) followScroll(console, display, width);
  console.flush();
  if (!drawn) return;
  display.drawnPercent = percent;
  display.drawnWidth = width;
}

}  // namespace

ProgressDisplay startProgressDisplay(Console& console, const char16_t* label) {
  ProgressDisplay display;
  display.bar = ProgressBar{1, label, getCursorPosition(console), LABEL_COLOUR, BAR_COLOUR};
  return display;
}

std::int32_t progressPercent(std::uint64_t index, std::uint64_t count) {
  if (count == 0) return 100;  // nothing to extract is all extracted
  const double percent =
      std::floor(static_cast<double>(index) / static_cast<double>(count) * 100.0);
  // An index past the end must not overflow the conversion; the bar shows 100 at most anyway.
  return static_cast<std::int32_t>(std::min(percent, 100.0));
}

void updateProgress(Console& console, ProgressDisplay& display, std::int32_t percent) {
  if (display.bar.active == 0) return;
  const std::int32_t shown = clampPercent(percent);
  const bool samePercent = shown == display.queriedPercent;
  if (samePercent && ++display.updatesSinceQuery < WIDTH_CHECK_INTERVAL) return;
  display.queriedPercent = shown;
  display.updatesSinceQuery = 0;
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return;
  if (shown == display.drawnPercent && info.width == display.drawnWidth) return;
  drawAndRecord(console, display, shown, info.width);
}

// The line takes the bar's row, the bar moves to the row after it: each line stays once, in
// order, above the bar, however the console scrolled.
void printErrorLine(Console& console, ProgressDisplay& display, std::ostream& errors,
                    std::string_view line) {
  if (display.bar.active == 0 || !console.sharesStandardError()) {
    errors << line << std::endl;
    return;
  }
  const bool barShown = display.drawnPercent != NOT_DRAWN;
  if (barShown) console.eraseRow(display.bar.anchor.y);
  console.flush();
  errors << line << std::endl;
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return;
  display.bar.anchor = info.cursor;
  if (barShown) drawAndRecord(console, display, display.drawnPercent, info.width);
}

}  // namespace quarry
