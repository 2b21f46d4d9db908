#include "support/console_recorder.h"

#include <algorithm>
#include <cstdio>

namespace quarry {

ConsoleRecorder::ConsoleRecorder(std::int16_t bufferWidth, std::int16_t bufferHeight)
    : width(bufferWidth),
      height(bufferHeight),
      cells(static_cast<std::size_t>(bufferWidth) * static_cast<std::size_t>(bufferHeight)) {}

bool ConsoleRecorder::queryScreenBuffer(ScreenBufferInfo& info) {
  ++queries;
  const bool works = !everyQueryFails && failingQueries.count(queries) == 0;
  calls.push_back(RecordedCall{ConsoleCall::Query, {}, {}, 0, works});
  if (works) info = ScreenBufferInfo{width, cursor, attributes};
  return works;
}

// Outside the buffer the position is refused and the cursor stays, as on Windows.
void ConsoleRecorder::setCursorPosition(ConsolePosition position) {
  calls.push_back(RecordedCall{ConsoleCall::SetCursor, {}, position, 0, true});
  const bool inside =
      position.x >= 0 && position.x < width && position.y >= 0 && position.y < height;
  if (inside) cursor = position;
}

bool ConsoleRecorder::setTextAttribute(std::uint16_t word) {
  calls.push_back(RecordedCall{ConsoleCall::SetAttribute, {}, {}, word, !attributeFails});
  if (!attributeFails) attributes = word;
  return !attributeFails;
}

std::uint32_t ConsoleRecorder::writeConsole(const char16_t* text, std::uint32_t count) {
  const std::uint32_t taken = std::min(count, unitsPerWrite);
  calls.push_back(RecordedCall{ConsoleCall::Write, std::u16string(text, count), {}, 0, true});
  for (std::uint32_t k = 0; k < taken; ++k) put(text[k]);
  return taken;
}

void ConsoleRecorder::eraseRow(std::int16_t y) {
  calls.push_back(RecordedCall{ConsoleCall::EraseRow, {}, ConsolePosition{0, y}, 0, true});
  if (y < 0 || y >= height) return;
  for (std::int16_t x = 0; x < width; ++x) {
    cells[static_cast<std::size_t>(y) * width + x] = ScreenCell{u' ', attributes};
  }
  cursor = ConsolePosition{0, y};
}

void ConsoleRecorder::flush() {
  calls.push_back(RecordedCall{ConsoleCall::Flush, {}, {}, 0, true});
}

void ConsoleRecorder::type(std::string_view text) {
  const std::u16string typed(text.begin(), text.end());
  calls.push_back(RecordedCall{ConsoleCall::Stream, typed, {}, 0, true});
  for (const char c : text) {
    if (c == '\n') {
      cursor.x = 0;
      lineFeed();
    } else {
      put(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
  }
}

std::string ConsoleRecorder::rowText(std::int16_t y) const {
  std::string text;
  for (std::int16_t x = 0; x < width; ++x) text += static_cast<char>(cell(x, y).unit);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

const ScreenCell& ConsoleRecorder::cell(std::int16_t x, std::int16_t y) const {
  return cells.at(static_cast<std::size_t>(y) * width + x);
}

int ConsoleRecorder::countOf(ConsoleCall call) const {
  return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                        [call](const RecordedCall& c) { return c.call == call; }));
}

void ConsoleRecorder::resize(std::int16_t bufferWidth) {
  width = bufferWidth;
  cells.assign(static_cast<std::size_t>(width) * height, ScreenCell{});
  cursor.x = std::min<std::int16_t>(cursor.x, static_cast<std::int16_t>(width - 1));
}

// Writing the last column wraps at once, as the Windows console does with its default mode.
void ConsoleRecorder::put(char16_t unit) {
  cells[static_cast<std::size_t>(cursor.y) * width + cursor.x] = ScreenCell{unit, attributes};
  if (++cursor.x < width) return;
  cursor.x = 0;
  lineFeed();
}

// At the last row the whole buffer moves up one and a blank row comes in below.
void ConsoleRecorder::lineFeed() {
  if (cursor.y + 1 < height) {
    ++cursor.y;
    return;
  }
  scrolledAway.push_back(rowText(0));
  cells.erase(cells.begin(), cells.begin() + width);
  cells.resize(static_cast<std::size_t>(width) * height, ScreenCell{u' ', attributes});
}

namespace {

std::string narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
  return out;
}

std::string hex(std::uint16_t word) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(word));
  return text;
}

std::string describe(const RecordedCall& call) {
  const std::string failed = call.succeeded ? "" : " failed";
  switch (call.call) {
    case ConsoleCall::Query:
      return "query" + failed;
    case ConsoleCall::SetCursor:
      return "cursor " + std::to_string(call.position.x) + "," + std::to_string(call.position.y);
    case ConsoleCall::SetAttribute:
      return "attr " + hex(call.attributes) + failed;
    case ConsoleCall::Write:
      return "write " + narrow(call.text);
    case ConsoleCall::EraseRow:
      return "erase " + std::to_string(call.position.y);
    case ConsoleCall::Flush:
      return "flush";
    case ConsoleCall::Stream:
      return "stream " + narrow(call.text);
  }
  return "?";
}

}  // namespace

std::vector<std::string> describeCalls(const std::vector<RecordedCall>& calls) {
  std::vector<std::string> lines;
  for (const RecordedCall& call : calls) lines.push_back(describe(call));
  return lines;
}

std::vector<std::string> transcript(const ConsoleRecorder& recorder) {
  std::vector<std::string> rows = recorder.scrolledAway;
  for (std::int16_t y = 0; y < recorder.height; ++y) rows.push_back(recorder.rowText(y));
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

RecorderStream::RecorderStream(ConsoleRecorder& recorder)
    : std::ostream(nullptr), buffer_(recorder) {
  rdbuf(&buffer_);
}

RecorderStream::Buffer::int_type RecorderStream::Buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char unit = traits_type::to_char_type(c);
  recorder.type(std::string_view(&unit, 1));
  return c;
}

std::streamsize RecorderStream::Buffer::xsputn(const char* text, std::streamsize count) {
  recorder.type(std::string_view(text, static_cast<std::size_t>(count)));
  return count;
}

}  // namespace quarry
