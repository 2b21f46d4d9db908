// A console for tests: a screen buffer that wraps and scrolls as the Windows console does,
// and the log of every call in order, so a test can check both what was done and what shows.
#pragma once

#include <cstdint>
#include <limits>
#include <ostream>
#include <set>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "console/bar_drawing.h"

namespace quarry {

enum class ConsoleCall { Query, SetCursor, SetAttribute, Write, EraseRow, Flush, Stream };

struct RecordedCall {
  ConsoleCall call = ConsoleCall::Query;
  std::u16string text;           // Write: the units handed over; Stream: what stderr typed
  ConsolePosition position;      // SetCursor; EraseRow keeps its row in y
  std::uint16_t attributes = 0;  // SetAttribute
  bool succeeded = true;         // Query, SetAttribute
};

struct ScreenCell {
  char16_t unit = u' ';
  std::uint16_t attributes = 7;
};

struct ConsoleRecorder final : Console {
  ConsoleRecorder(std::int16_t bufferWidth, std::int16_t bufferHeight);

  bool queryScreenBuffer(ScreenBufferInfo& info) override;
  void setCursorPosition(ConsolePosition position) override;
  bool setTextAttribute(std::uint16_t word) override;
  std::uint32_t writeConsole(const char16_t* text, std::uint32_t count) override;
  bool sharesStandardError() override { return sharesStderr; }
  void eraseRow(std::int16_t y) override;
  void flush() override;

  // What another stream (standard error) types at the cursor; '\n' starts the next row.
  void type(std::string_view text);
  // Row y as ASCII, trailing blanks dropped.
  std::string rowText(std::int16_t y) const;
  const ScreenCell& cell(std::int16_t x, std::int16_t y) const;
  int countOf(ConsoleCall call) const;
  // Changes the width as a resized console does, keeping no content.
  void resize(std::int16_t bufferWidth);

  std::int16_t width;
  std::int16_t height;
  ConsolePosition cursor;
  std::uint16_t attributes = 7;
  std::vector<ScreenCell> cells;
  std::vector<RecordedCall> calls;
  std::vector<std::string> scrolledAway;  // rows that left the top, oldest first
  std::set<int> failingQueries;           // 1-based numbers of the queries that fail
  bool everyQueryFails = false;           // standard output is not a console
  bool attributeFails = false;
  std::uint32_t unitsPerWrite =
      std::numeric_limits<std::uint32_t>::max();  // a write takes at most this many
  bool sharesStderr = true;
  int queries = 0;

 private:
  void put(char16_t unit);
  void lineFeed();
};

// The calls one per line, e.g. "query", "cursor 2,1", "attr 0x1c", "write Ab", "stream E\n"
// ("failed" added to a query or attribute that failed), for comparing whole sequences.
std::vector<std::string> describeCalls(const std::vector<RecordedCall>& calls);
// Every row the recorder showed, the scrolled-away ones first, trailing blank rows dropped.
std::vector<std::string> transcript(const ConsoleRecorder& recorder);

// An ostream whose characters land on a recorder's screen, as standard error's do on a
// console that it shares with standard output.
class RecorderStream : public std::ostream {
 public:
  explicit RecorderStream(ConsoleRecorder& recorder);

 private:
  struct Buffer : std::streambuf {
    explicit Buffer(ConsoleRecorder& target) : recorder(target) {}
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    ConsoleRecorder& recorder;
  };
  Buffer buffer_;
};

}  // namespace quarry
