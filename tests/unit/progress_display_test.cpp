// The display of a run: the percent of an entry, skipped redraws, and error lines that stay
// above the bar.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "console/run_display.h"
#include "support/console_recorder.h"

namespace quarry {
namespace {

struct PercentCase {
  std::uint64_t index;
  std::uint64_t count;
  std::int32_t percent;
};

TEST(ProgressPercent, FloorsTheDoubleQuotientTimesAHundred) {
  const PercentCase cases[] = {
      {29, 100, 28},  // 0.29 * 100 is just under 29
      {57, 100, 56},
      {58, 100, 57},
      {0, 1, 0},
      {3, 4, 75},
      {0, 100, 0},
      {99, 100, 99},
      {1, 3, 33},
      {2, 3, 66},
      {19999, 20000, 99},
      {100, 100, 100},
      // Past the end or nothing to do: never more than 100, never an overflowed conversion.
      {5, 1, 100},
      {std::numeric_limits<std::uint64_t>::max(), 1, 100},
      {0, 0, 100},
  };
  for (const PercentCase& c : cases) {
    EXPECT_EQ(progressPercent(c.index, c.count), c.percent) << c.index << " of " << c.count;
  }
}

std::string barRow(std::int32_t width, std::int32_t percent) {
  const std::int32_t inner = width - 9 - 3;
  const std::int32_t fill = filledCells(inner, percent);
  return "Progress: [" + std::string(static_cast<std::size_t>(fill), '#') +
         std::string(static_cast<std::size_t>(inner - fill), '_') + "]";
}

TEST(ProgressDisplay, StartsAtTheCursorWithoutDrawing) {
  ConsoleRecorder recorder(80, 10);
  recorder.cursor = ConsolePosition{0, 4};
  const ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
  EXPECT_EQ(display.bar.active, 1);
  EXPECT_EQ(std::u16string(display.bar.label), u"Progress:");
  EXPECT_EQ(display.bar.anchor.x, 0);
  EXPECT_EQ(display.bar.anchor.y, 4);
  EXPECT_EQ(display.bar.labelColour, 12);
  EXPECT_EQ(display.bar.barColour, 10);
  EXPECT_EQ(display.drawnPercent, -1);
  EXPECT_EQ(describeCalls(recorder.calls), std::vector<std::string>{"query"});
}

int drawings(const ConsoleRecorder& recorder) {
  return recorder.countOf(ConsoleCall::SetCursor);
}

TEST(ProgressDisplay, DrawsOncePerShownPercentOverALongRun) {
  ConsoleRecorder recorder(80, 10);
  ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
  const std::uint64_t count = 20000;
  for (std::uint64_t index = 0; index < count; ++index) {
    updateProgress(recorder, display, progressPercent(index, count));
  }
  EXPECT_EQ(drawings(recorder), 99);  // 0 and 1 both show as 1
  EXPECT_EQ(recorder.rowText(0), barRow(80, 99));
  updateProgress(recorder, display, 100);
  EXPECT_EQ(drawings(recorder), 100);
  EXPECT_EQ(recorder.rowText(0), barRow(80, 100));
}

struct RepeatCase {
  const char* name;
  std::vector<std::int32_t> percents;
  int drawings;
};

TEST(ProgressDisplay, SkipsRedrawsThatWouldShowTheSame) {
  const RepeatCase cases[] = {
      {"same percent", {40, 40, 40}, 1},
      {"below 1 shows as 1", {-3, 0, 1}, 1},
      {"above 100 shows as 100", {100, 250, 101}, 1},
      {"every change draws", {10, 11, 10, 12}, 4},
  };
  for (const RepeatCase& c : cases) {
    ConsoleRecorder recorder(80, 10);
    ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
    for (const std::int32_t percent : c.percents) updateProgress(recorder, display, percent);
    EXPECT_EQ(drawings(recorder), c.drawings) << c.name;
  }
}

TEST(ProgressDisplay, ANewWidthForcesARedraw) {
  ConsoleRecorder recorder(80, 10);
  ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
  updateProgress(recorder, display, 50);
  recorder.resize(60);
  // The width is looked at again within a bounded number of unchanged updates.
  for (int k = 0; k < WIDTH_CHECK_INTERVAL; ++k) updateProgress(recorder, display, 50);
  EXPECT_EQ(drawings(recorder), 2);
  EXPECT_EQ(recorder.rowText(0), barRow(60, 50));
  EXPECT_EQ(display.drawnWidth, 60);
  recorder.resize(70);
  updateProgress(recorder, display, 51);  // a new percent looks at once
  EXPECT_EQ(drawings(recorder), 3);
  EXPECT_EQ(recorder.rowText(0), barRow(70, 51));
}

TEST(ProgressDisplay, UnchangedUpdatesRarelyQueryTheConsole) {
  for (const bool console : {true, false}) {
    ConsoleRecorder recorder(80, 10);
    recorder.everyQueryFails = !console;  // redirected output: every query would fail
    ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
    updateProgress(recorder, display, 50);
    const int before = recorder.countOf(ConsoleCall::Query);
    for (int k = 0; k < 10 * WIDTH_CHECK_INTERVAL; ++k) updateProgress(recorder, display, 50);
    EXPECT_LE(recorder.countOf(ConsoleCall::Query) - before, 10) << console;
  }
}

TEST(ProgressDisplay, WithoutAConsoleNothingIsDrawnAndErrorsJustPrint) {
  ConsoleRecorder recorder(80, 10);
  recorder.everyQueryFails = true;
  ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
  recorder.sharesStderr = false;
  updateProgress(recorder, display, 50);
  std::ostringstream errors;
  printErrorLine(recorder, display, errors, "File #3 is broken");
  EXPECT_EQ(errors.str(), "File #3 is broken\n");
  EXPECT_EQ(recorder.countOf(ConsoleCall::Write), 0);
  EXPECT_EQ(recorder.countOf(ConsoleCall::EraseRow), 0);
  EXPECT_EQ(display.drawnPercent, -1);
}

TEST(ProgressDisplay, ErrorsToAnotherPlaceLeaveTheScreenAlone) {
  ConsoleRecorder recorder(40, 10);
  ProgressDisplay display = startProgressDisplay(recorder, u"Progress:");
  updateProgress(recorder, display, 30);
  recorder.sharesStderr = false;
  const std::size_t callsBefore = recorder.calls.size();
  std::ostringstream errors;
  printErrorLine(recorder, display, errors, "File #1 x");
  printErrorLine(recorder, display, errors, "File #2 y");
  EXPECT_EQ(errors.str(), "File #1 x\nFile #2 y\n");
  EXPECT_EQ(recorder.calls.size(), callsBefore);
  EXPECT_EQ(transcript(recorder), std::vector<std::string>{barRow(40, 30)});
}

// A run on a console that standard error shares: the count line, then the bar below it.
struct SharedRun {
  explicit SharedRun(std::int16_t height) : recorder(40, height), errors(recorder) {
    recorder.type("Found 3 files, extracting...\n");
    display = startProgressDisplay(recorder, u"Progress:");
  }
  ConsoleRecorder recorder;
  RecorderStream errors;
  ProgressDisplay display;
};

TEST(ProgressDisplay, ErrorLinesStayAboveTheBarInOrder) {
  SharedRun run(10);
  updateProgress(run.recorder, run.display, 33);
  printErrorLine(run.recorder, run.display, run.errors, "File #1 bad");
  updateProgress(run.recorder, run.display, 66);
  printErrorLine(run.recorder, run.display, run.errors, "File #2 bad");
  updateProgress(run.recorder, run.display, 99);
  const std::vector<std::string> expected = {"Found 3 files, extracting...", "File #1 bad",
                                             "File #2 bad", barRow(40, 99)};
  EXPECT_EQ(transcript(run.recorder), expected);
  EXPECT_EQ(run.display.bar.anchor.y, 3);
}

TEST(ProgressDisplay, AnErrorLineTakesTheBarsRowThenTheBarComesBack) {
  SharedRun run(10);
  updateProgress(run.recorder, run.display, 50);
  run.recorder.calls.clear();
  printErrorLine(run.recorder, run.display, run.errors, "E");
  const std::vector<std::string> calls = describeCalls(run.recorder.calls);
  const std::vector<std::string> start(calls.begin(), calls.begin() + 6);
  const std::vector<std::string> expected = {"erase 1",   "flush", "stream E",
                                             "stream \n", "query", "query"};
  EXPECT_EQ(start, expected);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "cursor 0,2"), calls.end());
  EXPECT_EQ(calls.back(), "flush");
  EXPECT_EQ(transcript(run.recorder),
            (std::vector<std::string>{"Found 3 files, extracting...", "E", barRow(40, 50)}));
}

TEST(ProgressDisplay, AnErrorBeforeTheFirstDrawingMovesTheBarBelowIt) {
  SharedRun run(10);
  printErrorLine(run.recorder, run.display, run.errors, "File #0 bad");
  EXPECT_EQ(run.recorder.countOf(ConsoleCall::EraseRow), 0);
  EXPECT_EQ(run.recorder.countOf(ConsoleCall::Write), 0);
  updateProgress(run.recorder, run.display, 1);
  const std::vector<std::string> expected = {"Found 3 files, extracting...", "File #0 bad",
                                             barRow(40, 1)};
  EXPECT_EQ(transcript(run.recorder), expected);
}

// The bar fills its row, so on the buffer's last row each drawing scrolls the console.
TEST(ProgressDisplay, AtTheBottomOfTheBufferOneBarStaysBelowTheErrors) {
  SharedRun run(4);
  run.recorder.type("one\ntwo\n");  // the cursor is on the last row
  run.display = startProgressDisplay(run.recorder, u"Progress:");
  ASSERT_EQ(run.display.bar.anchor.y, 3);
  for (const std::int32_t percent : {10, 20}) updateProgress(run.recorder, run.display, percent);
  printErrorLine(run.recorder, run.display, run.errors, "E1");
  updateProgress(run.recorder, run.display, 30);
  printErrorLine(run.recorder, run.display, run.errors, "E2");
  printErrorLine(run.recorder, run.display, run.errors, "E3");
  updateProgress(run.recorder, run.display, 40);
  const std::vector<std::string> expected = {
      "Found 3 files, extracting...", "one", "two", "E1", "E2", "E3", barRow(40, 40)};
  EXPECT_EQ(transcript(run.recorder), expected);
}

TEST(ProgressDisplay, AnErrorLongerThanTheRowStillEndsAboveTheBar) {
  SharedRun run(10);
  updateProgress(run.recorder, run.display, 20);
  const std::string longLine(50, 'x');  // wraps onto a second row
  printErrorLine(run.recorder, run.display, run.errors, longLine);
  const std::vector<std::string> expected = {"Found 3 files, extracting...", std::string(40, 'x'),
                                             std::string(10, 'x'), barRow(40, 20)};
  EXPECT_EQ(transcript(run.recorder), expected);
}

}  // namespace
}  // namespace quarry
