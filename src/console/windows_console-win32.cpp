// The process console on Windows: the console API on the standard output handle, fetched
// afresh by each call since the handle can be swapped while the program runs. Text written
// between two other operations goes to the console in one call: a bar is some hundred cell
// writes, and each console call is a round trip to the console.
#include <windows.h>

#include <memory>
#include <string>

#include "console/console.h"

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
  std::u16string pending;  // written text not yet handed to the console

  void writePending() {
    if (pending.empty()) return;
    DWORD written = 0;
    const auto* wide = reinterpret_cast<const wchar_t*>(pending.data());
    WriteConsoleW(standardOutput(), wide, static_cast<DWORD>(pending.size()), &written, nullptr);
    pending.clear();
  }

  bool queryScreenBuffer(ScreenBufferInfo& info) override {
    writePending();
    CONSOLE_SCREEN_BUFFER_INFO buffer;
    if (GetConsoleScreenBufferInfo(standardOutput(), &buffer) == 0) return false;
    info.width = buffer.dwSize.X;
    info.cursor = ConsolePosition{buffer.dwCursorPosition.X, buffer.dwCursorPosition.Y};
    info.attributes = buffer.wAttributes;
    return true;
  }

  void setCursorPosition(ConsolePosition position) override {
    writePending();
    SetConsoleCursorPosition(standardOutput(), COORD{position.x, position.y});
  }

  bool setTextAttribute(std::uint16_t attributes) override {
    writePending();
    return SetConsoleTextAttribute(standardOutput(), attributes) != 0;
  }

  // Counts as written once held; what the console then takes is not known here, and the
  // drawing does not look at it.
  std::uint32_t writeConsole(const char16_t* text, std::uint32_t count) override {
    pending.append(text, count);
    return count;
  }

  bool sharesStandardError() override {
    return isScreenBuffer(standardOutput()) && isScreenBuffer(GetStdHandle(STD_ERROR_HANDLE));
  }

  void eraseRow(std::int16_t y) override {
    writePending();
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

  void flush() override { writePending(); }
};

}  // namespace

std::unique_ptr<Console> makeProcessConsole() {
  return std::make_unique<WindowsConsole>();
}

}  // namespace quarry
