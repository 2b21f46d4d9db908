// The drawing of the bar: the cells it fills, where it stands and its colours.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/bar_drawing.h"
#include "support/console_recorder.h"

namespace quarry {
namespace {

ProgressBar barAt(std::int16_t x, std::int16_t y, const char16_t* label = u"Progress:") {
  return ProgressBar{1, label, ConsolePosition{x, y}, LABEL_COLOUR, BAR_COLOUR};
}

std::string expectedRow(std::int16_t indent, const std::string& label, std::int32_t inner,
                        std::int32_t fill) {
  return std::string(static_cast<std::size_t>(indent), ' ') + label + " [" +
         std::string(static_cast<std::size_t>(fill), '#') +
         std::string(static_cast<std::size_t>(inner - fill), '_') + "]";
}

struct FillCase {
  std::int16_t width;
  std::int32_t percent;
  std::int32_t inner;
  std::int32_t fill;
  std::int16_t anchorX = 0;
  const char16_t* label = u"Progress:";
};

TEST(ProgressBar, FillsTheCellsTheBarAlwaysFilled) {
  const FillCase cases[] = {
      {80, 1, 68, 0},
      {80, 2, 68, 1},
      {80, 25, 68, 17},
      {80, 50, 68, 34},
      {80, 75, 68, 51},
      {80, 99, 68, 67},
      {80, 100, 68, 68},
      {80, 0, 68, 0},
      {80, -5, 68, 0},
      {80, 250, 68, 68},
      {120, 1, 108, 1},
      {120, 99, 108, 106},
      {120, 100, 108, 108},
      // Single precision: the division comes first and loses a cell at 100%.
      {129, 100, 117, 116},
      {65, 100, 53, 52},
      {71, 100, 59, 58},
      {96, 75, 84, 62},
      {13, 50, 1, 0},
      {13, 100, 1, 1},
      {20, 100, 1, 1, 7},           // 20 - 7 - 9 leaves a space of four: one cell
      {20, 50, 12, 6, 5, nullptr},  // no label: the bar starts at the anchor
  };
  for (const FillCase& c : cases) {
    ConsoleRecorder recorder(c.width, 3);
    const ProgressBar bar = barAt(c.anchorX, 1, c.label);
    ASSERT_EQ(drawProgressBar(recorder, &bar, c.percent), 1);
    const std::string row = recorder.rowText(1);
    EXPECT_EQ(row, expectedRow(c.anchorX, c.label != nullptr ? "Progress:" : "", c.inner, c.fill))
        << "width " << c.width << " percent " << c.percent;
    EXPECT_EQ(row.size(), static_cast<std::size_t>(c.width));
    EXPECT_EQ(filledCells(c.inner, clampPercent(c.percent)), c.fill) << "as the drawing fills";
  }
}

struct ShortCase {
  const char* name;
  std::int16_t width;
  std::int16_t anchorX;
  const char16_t* label;
  std::vector<std::string> writes;
};

TEST(ProgressBar, DrawsOnlyTheLabelWhenTheBarDoesNotFit) {
  const ShortCase cases[] = {
      {"space of exactly 3", 12, 0, u"Progress:", {"write Progress:"}},
      {"anchor beyond the width", 20, 30, u"Progress:", {"write Progress:"}},
      {"label wider than the row", 8, 0, u"Progress:", {"write Progress:"}},
      {"null label, no room", 3, 0, nullptr, {"write "}},
  };
  for (const ShortCase& c : cases) {
    ConsoleRecorder recorder(c.width, 3);
    const ProgressBar bar = barAt(c.anchorX, 1, c.label);
    EXPECT_EQ(drawProgressBar(recorder, &bar, 50), 1) << c.name;
    std::vector<std::string> writes;
    for (const std::string& line : describeCalls(recorder.calls)) {
      if (line.rfind("write", 0) == 0) writes.push_back(line);
    }
    EXPECT_EQ(writes, c.writes) << c.name;
  }
}

// Only the anchor's row from the anchor on is drawn: the label in its colour, the bar in its
// own, both on the old background without the high flags, and the old colour given back.
TEST(ProgressBar, DrawsFromTheAnchorInItsColoursAndGivesTheColourBack) {
  ConsoleRecorder recorder(16, 3);
  recorder.attributes = 0x931E;
  const ProgressBar bar = barAt(2, 1, u"Ab");  // space 12, inner 9; 9/100 * 50 = 4.5 -> 4
  ASSERT_EQ(drawProgressBar(recorder, &bar, 50), 1);
  EXPECT_EQ(recorder.rowText(1), "  Ab [####_____]");
  for (std::int16_t x = 0; x < 16; ++x) {
    const std::uint16_t painted = x < 2 ? 0x0007 : x < 4 ? 0x001C : 0x001A;
    EXPECT_EQ(recorder.cell(x, 1).attributes, painted) << "column " << x;
  }
  EXPECT_EQ(recorder.rowText(0), "");
  EXPECT_EQ(recorder.attributes, 0x001E);
}

TEST(ProgressBar, PaintsTheLabelAndTheBarInTheirColoursOnTheOldBackground) {
  ConsoleRecorder recorder(40, 3);
  recorder.attributes = 0x0017;
  const ProgressBar bar = barAt(0, 1);
  drawProgressBar(recorder, &bar, 50);
  EXPECT_EQ(recorder.cell(0, 1).attributes, 0x001C);   // 'P'
  EXPECT_EQ(recorder.cell(8, 1).attributes, 0x001C);   // ':'
  EXPECT_EQ(recorder.cell(9, 1).attributes, 0x001A);   // ' '
  EXPECT_EQ(recorder.cell(39, 1).attributes, 0x001A);  // ']'
}

TEST(ProgressBar, RestoresTheForegroundAndClearsTheHighFlags) {
  const std::uint16_t before[] = {0x0007, 0x001E, 0x8C1E, 0xFFFF, 0x00F0, 0x000C};
  for (const std::uint16_t attributes : before) {
    ConsoleRecorder recorder(80, 3);
    recorder.attributes = attributes;
    const ProgressBar bar = barAt(0, 1);
    drawProgressBar(recorder, &bar, 40);
    EXPECT_EQ(recorder.attributes, attributes & 0x00FF) << std::hex << attributes;
  }
}

TEST(ProgressBar, DrawsNothingWithoutAnActiveBarOrAConsole) {
  ConsoleRecorder recorder(80, 3);
  EXPECT_EQ(drawProgressBar(recorder, nullptr, 50), 0);
  ProgressBar inactive = barAt(0, 1);
  inactive.active = 0;
  EXPECT_EQ(drawProgressBar(recorder, &inactive, 50), 0);
  EXPECT_TRUE(recorder.calls.empty());

  recorder.everyQueryFails = true;
  const ProgressBar bar = barAt(0, 1);
  EXPECT_EQ(drawProgressBar(recorder, &bar, 50), 0);
  EXPECT_EQ(describeCalls(recorder.calls), std::vector<std::string>{"query failed"});
}

struct FailedQueryCase {
  const char* name;
  int failingQuery;
  std::uint16_t labelAttributes;
  std::uint16_t finalAttributes;
};

// Queries of a drawing: 1 the width, 2 the saved colour, 3 the label's, 4 the bar's, 5 the
// restore.
TEST(ProgressBar, LaterFailedQueriesStillDraw) {
  const FailedQueryCase cases[] = {
      {"saved colour unknown: restores 0", 2, 0x001C, 0x0010},
      {"label colour not set: label keeps the old one", 3, 0x001E, 0x001E},
      {"restore not possible: bar colour stays", 5, 0x001C, 0x001A},
  };
  for (const FailedQueryCase& c : cases) {
    ConsoleRecorder recorder(40, 3);
    recorder.attributes = 0x001E;
    recorder.failingQueries = {c.failingQuery};
    const ProgressBar bar = barAt(0, 1);
    EXPECT_EQ(drawProgressBar(recorder, &bar, 50), 1) << c.name;
    EXPECT_EQ(recorder.cell(0, 1).attributes, c.labelAttributes) << c.name;
    EXPECT_EQ(recorder.cell(20, 1).attributes, 0x001A) << c.name;
    EXPECT_EQ(recorder.attributes, c.finalAttributes) << c.name;
    EXPECT_EQ(recorder.rowText(1), expectedRow(0, "Progress:", 28, 14)) << c.name;
  }
}

}  // namespace
}  // namespace quarry
