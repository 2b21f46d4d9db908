// What the run shows on the console: the bar below the count line, redrawn as the run goes,
// and error lines that stay readable above it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string_view>

#include "console/bar_drawing.h"

namespace quarry {

// The bar of one run and what was last drawn, so that unchanged redraws are skipped.
struct ProgressDisplay {
  ProgressBar bar{};
  std::int32_t drawnPercent = -1;      // clamped percent of the last drawing; -1 before the first
  std::int32_t drawnWidth = -1;        // console width at the last drawing
  std::int32_t queriedPercent = -1;    // clamped percent when the console was last queried
  std::int32_t updatesSinceQuery = 0;  // unchanged updates since then
};

// Unchanged updates between two looks at the console's width. A look per entry would cost
// more than the bar itself (a round trip to the console on Windows), and the percent changes
// about a hundred times a run anyway.
constexpr std::int32_t WIDTH_CHECK_INTERVAL = 256;

// floor(index / count * 100.0) in double precision, the division first.
std::int32_t progressPercent(std::uint64_t index, std::uint64_t count);

// Sets the bar up at the cursor (the line after the count line), after label, which must outlive
// the display. Draws nothing.
ProgressDisplay startProgressDisplay(Console& console, const char16_t* label);

// Draws the bar for percent when what would appear differs from the last drawing.
void updateProgress(Console& console, ProgressDisplay& display, std::int32_t percent);

// Writes one line and a newline to errors (standard error), flushed; on a console shared with
// the bar, the line lands above the bar and the bar is drawn again below it.
void printErrorLine(Console& console, ProgressDisplay& display, std::ostream& errors,
                    std::string_view line);

}  // namespace quarry
