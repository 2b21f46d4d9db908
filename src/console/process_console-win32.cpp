// The process console on Windows: the console API on the standard output handle, fetched
// afresh by each call since the handle can be swapped while the program runs.
#include <windows.h>

#include "console/progress_bar.h"

namespace quarry {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "console text is UTF-16");

HANDLE standardOutput() {
  return GetStdHandle(STD_OUTPUT_HANDLE);
}

bool isScreenBuffer(HANDLE handle) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return GetConsoleScreenBufferInfo(handle, &info) != 0;
}

struct WindowsConsole final : Console {
  bool queryScreenBuffer(ScreenBufferInfo& info) override {
    CONSOLE_SCREEN_BUFFER_INFO buffer;
    if (GetConsoleScreenBufferInfo(standardOutput(), &buffer) == 0) return false;
    info.width = buffer.dwSize.X;
    info.cursor = ConsolePosition{buffer.dwCursorPosition.X, buffer.dwCursorPosition.Y};
    info.attributes = buffer.wAttributes;
    return true;
  }

  void setCursorPosition(ConsolePosition position) override {
    SetConsoleCursorPosition(standardOutput(), COORD{position.x, position.y});
  }

  bool setTextAttribute(std::uint16_t attributes) override {
    return SetConsoleTextAttribute(standardOutput(), attributes) != 0;
  }

  std::uint32_t writeConsole(const char16_t* text, std::uint32_t count) override {
    DWORD written = 0;
    const auto* wide = reinterpret_cast<const wchar_t*>(text);
    if (WriteConsoleW(standardOutput(), wide, count, &written, nullptr) == 0) return 0;
    return written;
  }

  bool sharesStandardError() override {
    return isScreenBuffer(standardOutput()) && isScreenBuffer(GetStdHandle(STD_ERROR_HANDLE));
  }

  void eraseRow(std::int16_t y) override {
    const HANDLE output = standardOutput();
    CONSOLE_SCREEN_BUFFER_INFO buffer;
    if (GetConsoleScreenBufferInfo(output, &buffer) == 0) return;
    const COORD start{0, y};
    const auto cells = static_cast<DWORD>(buffer.dwSize.X);
    DWORD done = 0;
    FillConsoleOutputCharacterW(output, L' ', cells, start, &done);
    FillConsoleOutputAttribute(output, buffer.wAttributes, cells, start, &done);
    SetConsoleCursorPosition(output, start);
  }

  void flush() override {}  // every call above reached the console already
};

}  // namespace

Console& processConsole() {
  static WindowsConsole console;
  return console;
}

}  // namespace quarry
