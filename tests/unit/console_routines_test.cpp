// The five console routines the bar is drawn with, and the attribute arithmetic.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/bar_drawing.h"
#include "support/console_recorder.h"

namespace quarry {
namespace {

std::vector<std::string> writesOf(const ConsoleRecorder& recorder) {
  std::vector<std::string> writes;
  for (const std::string& line : describeCalls(recorder.calls)) {
    if (line.rfind("write", 0) == 0) writes.push_back(line);
  }
  return writes;
}

struct RepeatCase {
  const char16_t* text;
  std::int32_t count;
  std::vector<std::string> writes;
};

TEST(ConsoleRoutines, WriteRepeatedWritesTheWholeTextCountTimes) {
  const RepeatCase cases[] = {
      {u"ab", 3, {"write ab", "write ab", "write ab"}},
      {u"#", 1, {"write #"}},
      {u"#", 0, {}},
      {u"#", -1, {}},
      {u"#", INT32_MIN, {}},
      {nullptr, 2, {"write ", "write "}},
  };
  for (const RepeatCase& c : cases) {
    ConsoleRecorder recorder(80, 3);
    writeRepeated(recorder, c.text, c.count);
    EXPECT_EQ(writesOf(recorder), c.writes) << "count " << c.count;
  }
}

struct ForegroundCase {
  std::uint16_t before;
  std::int32_t colour;
  std::uint16_t after;
  std::int32_t answer = 1;
  bool queryFails = false;      // standard output is no console: nothing is changed
  bool attributeFails = false;  // the console refuses the new colour
};

TEST(ConsoleRoutines, SetForegroundKeepsTheBackgroundAndClearsTheHighFlags) {
  const ForegroundCase cases[] = {
      {0x0007, 12, 0x000C},
      {0x00F7, 10, 0x00FA},
      {0x001E, 0, 0x0010},
      {0xFF37, 0x1C, 0x003C},  // only the colour's low four bits count
      {0x8000, 7, 0x0007},
      {0x0040, -1, 0x004F},
      {0x001E, 12, 0x001E, 0, true},
      {0x0007, 12, 0x0007, 0, false, true},
  };
  for (const ForegroundCase& c : cases) {
    ConsoleRecorder recorder(80, 3);
    recorder.attributes = c.before;
    recorder.everyQueryFails = c.queryFails;
    recorder.attributeFails = c.attributeFails;
    EXPECT_EQ(setForegroundColour(recorder, c.colour), c.answer);
    EXPECT_EQ(recorder.attributes, c.after) << std::hex << c.before << " colour " << c.colour;
  }
}

TEST(ConsoleRoutines, GetForegroundIsTheLowFourBitsOrZero) {
  const std::pair<std::uint16_t, std::int32_t> cases[] = {
      {0x0007, 7}, {0xFF3A, 0xA}, {0x00F0, 0}, {0x000F, 15}};
  for (const auto& [attributes, foreground] : cases) {
    ConsoleRecorder recorder(80, 3);
    recorder.attributes = attributes;
    EXPECT_EQ(getForegroundColour(recorder), foreground) << std::hex << attributes;
  }
  ConsoleRecorder failing(80, 3);
  failing.attributes = 0x000C;
  failing.everyQueryFails = true;
  EXPECT_EQ(getForegroundColour(failing), 0);
}

struct CharsCase {
  const char16_t* text;
  std::uint32_t count;
  std::uint32_t unitsPerWrite;
  std::string write;
  std::uint32_t written;
};

TEST(ConsoleRoutines, WriteCharsMakesOneWriteOfThePrefix) {
  const CharsCase cases[] = {
      {u"abcdef", 3, 100, "write abc", 3},
      {u"[", 1, 100, "write [", 1},
      {u"abcdef", 6, 2, "write abcdef", 2},  // what the console took, not what was asked
  };
  for (const CharsCase& c : cases) {
    ConsoleRecorder recorder(80, 3);
    recorder.unitsPerWrite = c.unitsPerWrite;
    EXPECT_EQ(writeChars(recorder, c.text, c.count), c.written);
    EXPECT_EQ(writesOf(recorder), std::vector<std::string>{c.write});
  }
}

struct StringCase {
  const char16_t* text;
  std::uint32_t unitsPerWrite;
  std::string write;
  bool succeeded;
};

TEST(ConsoleRoutines, WriteStringWritesUpToTheTerminatorOnce) {
  const StringCase cases[] = {
      {u"Progress:", 100, "write Progress:", true},
      {u"", 100, "write ", true},
      {nullptr, 100, "write ", true},
      {u"Progress:", 4, "write Progress:", false},
  };
  for (const StringCase& c : cases) {
    ConsoleRecorder recorder(80, 3);
    recorder.unitsPerWrite = c.unitsPerWrite;
    EXPECT_EQ(writeString(recorder, c.text), c.succeeded);
    EXPECT_EQ(writesOf(recorder), std::vector<std::string>{c.write});
  }
}

TEST(ConsoleRoutines, CursorPositionIsTheConsolesOrTheOrigin) {
  ConsoleRecorder recorder(80, 20);
  recorder.cursor = ConsolePosition{5, 17};
  const ConsolePosition found = getCursorPosition(recorder);
  EXPECT_EQ(found.x, 5);
  EXPECT_EQ(found.y, 17);
  recorder.everyQueryFails = true;
  const ConsolePosition unknown = getCursorPosition(recorder);
  EXPECT_EQ(unknown.x, 0);
  EXPECT_EQ(unknown.y, 0);
}

}  // namespace
}  // namespace quarry
