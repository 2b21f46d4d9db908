// The console on a POSIX terminal, driven by ANSI sequences written to its descriptor.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <string>

#include "base/write_all-posix.h"
#include "console/ansi_sequences.h"
#include "console/terminal_console-posix.h"

namespace quarry {
namespace {

// A drawing is held in memory and written at flush(); past this it goes out at once.
constexpr std::size_t HELD_BYTES_LIMIT = 64 * 1024;

// 0 when the terminal does not say (a serial line, say): too unsure to draw a full row on.
std::int16_t terminalWidth(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  const int limit = std::numeric_limits<std::int16_t>::max();
  return static_cast<std::int16_t>(size.ws_col > limit ? limit : size.ws_col);
}

bool sameTerminal(int first, int second) {
  if (isatty(first) == 0 || isatty(second) == 0) return false;
  struct stat a {};
  struct stat b {};
  if (fstat(first, &a) != 0 || fstat(second, &b) != 0) return false;
  return a.st_rdev == b.st_rdev;
}

struct TerminalConsole final : Console {
  TerminalConsole(int output, int error)
      : outputFd(output), errorFd(error), isTerminal(isatty(output) != 0) {}
  ~TerminalConsole() override { flush(); }

  bool queryScreenBuffer(ScreenBufferInfo& info) override {
    if (!isTerminal) return false;
    const std::int16_t width = terminalWidth(outputFd);
    if (width <= 0) return false;
    info = ScreenBufferInfo{width, ConsolePosition{}, attributes};
    return true;
  }

  void setCursorPosition(ConsolePosition position) override { held += moveToColumn(position.x); }

  bool setTextAttribute(std::uint16_t word) override {
    attributes = word;
    held += selectGraphicRendition(word);
    return true;
  }

  std::uint32_t writeConsole(const char16_t* text, std::uint32_t count) override {
    appendTerminalText(held, std::u16string_view(text, count));
    if (held.size() > HELD_BYTES_LIMIT) flush();
    return count;
  }

  bool sharesStandardError() override { return isTerminal && sameTerminal(outputFd, errorFd); }
  void eraseRow(std::int16_t) override { held += ERASE_CURRENT_LINE; }

  void flush() override {
    // A terminal that has gone takes nothing more; the bar is not worth a complaint.
    writeAll(outputFd, ByteSpan(reinterpret_cast<const std::uint8_t*>(held.data()), held.size()));
    held.clear();
  }

  int outputFd;
  int errorFd;
  bool isTerminal;  // asked once: a descriptor does not become a terminal during a run
  std::uint16_t attributes = TERMINAL_DEFAULT_ATTRIBUTES;  // a terminal cannot be asked
  std::string held;
};

}  // namespace

std::unique_ptr<Console> makeTerminalConsole(int outputFd, int errorFd) {
  return std::make_unique<TerminalConsole>(outputFd, errorFd);
}

std::unique_ptr<Console> makeProcessConsole() {
  return makeTerminalConsole(STDOUT_FILENO, STDERR_FILENO);
}

}  // namespace quarry
