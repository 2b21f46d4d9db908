// The POSIX back end on a pseudo terminal: the bytes a terminal receives for a drawing and
// for an error line, and when the terminal is not one to draw on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <streambuf>
#include <string>

#include "console/run_display.h"
#include "console/terminal_console-posix.h"

namespace quarry {
namespace {

// A pseudo terminal of a chosen width, raw, so the bytes read back are the bytes written.
struct PseudoTerminal {
  explicit PseudoTerminal(unsigned short columns) {
    controller = posix_openpt(O_RDWR | O_NOCTTY);
    if (controller < 0 || grantpt(controller) != 0 || unlockpt(controller) != 0) return;
    terminal = open(ptsname(controller), O_RDWR | O_NOCTTY);
    if (terminal < 0) return;
    termios mode{};
    tcgetattr(terminal, &mode);
    cfmakeraw(&mode);
    tcsetattr(terminal, TCSANOW, &mode);
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    ioctl(terminal, TIOCSWINSZ, &size);
  }
  ~PseudoTerminal() {
    if (terminal >= 0) close(terminal);
    if (controller >= 0) close(controller);
  }
  bool ready() const { return terminal >= 0; }

  // Everything written so far.
  std::string received() const {
    std::string bytes;
    pollfd wait{controller, POLLIN, 0};
    char chunk[4096];
    while (poll(&wait, 1, 200) > 0) {
      const ssize_t got = read(controller, chunk, sizeof chunk);
      if (got <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  int controller = -1;
  int terminal = -1;
};

// Standard error writing straight to a descriptor, unbuffered as std::cerr is.
struct DescriptorBuffer : std::streambuf {
  explicit DescriptorBuffer(int target) : fd(target) {}
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char unit = traits_type::to_char_type(c);
    return ::write(fd, &unit, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    return ::write(fd, text, static_cast<std::size_t>(count));
  }
  int fd;
};

const std::string LABEL_SGR = "\x1b[91;49m";
const std::string BAR_SGR = "\x1b[92;49m";
const std::string DEFAULT_SGR = "\x1b[39;49m";

// Width 30: 21 cells after the label, 18 inside the brackets.
std::string drawingAt30(int fill) {
  return "\r" + LABEL_SGR + "Progress:" + BAR_SGR + " [" + std::string(fill, '#') +
         std::string(18 - fill, '_') + "]" + DEFAULT_SGR;
}

TEST(ConsoleTerminal, ADrawingReachesTheTerminalAsAnsi) {
  PseudoTerminal pty(30);
  ASSERT_TRUE(pty.ready());
  const std::unique_ptr<Console> console = makeTerminalConsole(pty.terminal, pty.terminal);
  const ProgressBar bar{1, u"Progress:", ConsolePosition{}, LABEL_COLOUR, BAR_COLOUR};
  ASSERT_EQ(drawProgressBar(*console, &bar, 50), 1);
  console->flush();
  EXPECT_EQ(pty.received(), drawingAt30(9));
}

TEST(ConsoleTerminal, ReportsItsWidthAndTheDefaultColours) {
  PseudoTerminal pty(57);
  ASSERT_TRUE(pty.ready());
  const std::unique_ptr<Console> console = makeTerminalConsole(pty.terminal, pty.terminal);
  ScreenBufferInfo info;
  ASSERT_TRUE(console->queryScreenBuffer(info));
  EXPECT_EQ(info.width, 57);
  EXPECT_EQ(info.cursor.x, 0);
  EXPECT_EQ(info.cursor.y, 0);
  EXPECT_EQ(info.attributes, 7);
  EXPECT_TRUE(console->setTextAttribute(0x001E));
  ASSERT_TRUE(console->queryScreenBuffer(info));
  EXPECT_EQ(info.attributes, 0x001E);
}

TEST(ConsoleTerminal, APipeOrAnUnsizedTerminalIsNotDrawnOn) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  PseudoTerminal unsized(0);
  ASSERT_TRUE(unsized.ready());
  for (const int fd : {ends[1], unsized.terminal}) {
    const std::unique_ptr<Console> console = makeTerminalConsole(fd, fd);
    ScreenBufferInfo info;
    EXPECT_FALSE(console->queryScreenBuffer(info)) << fd;
    const ProgressBar bar{1, u"Progress:", ConsolePosition{}, LABEL_COLOUR, BAR_COLOUR};
    EXPECT_EQ(drawProgressBar(*console, &bar, 50), 0);
  }
  close(ends[0]);
  close(ends[1]);
}

TEST(ConsoleTerminal, SharesStandardErrorOnlyWithTheSameTerminal) {
  PseudoTerminal pty(30);
  PseudoTerminal other(30);
  ASSERT_TRUE(pty.ready() && other.ready());
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int duplicate = dup(pty.terminal);
  EXPECT_TRUE(makeTerminalConsole(pty.terminal, pty.terminal)->sharesStandardError());
  EXPECT_TRUE(makeTerminalConsole(pty.terminal, duplicate)->sharesStandardError());
  EXPECT_FALSE(makeTerminalConsole(pty.terminal, other.terminal)->sharesStandardError());
  EXPECT_FALSE(makeTerminalConsole(pty.terminal, ends[1])->sharesStandardError());
  EXPECT_FALSE(makeTerminalConsole(ends[1], ends[1])->sharesStandardError());
  close(duplicate);
  close(ends[0]);
  close(ends[1]);
}

TEST(ConsoleTerminal, AnErrorLineReplacesTheBarsLineAndTheBarFollows) {
  PseudoTerminal pty(30);
  ASSERT_TRUE(pty.ready());
  const std::unique_ptr<Console> console = makeTerminalConsole(pty.terminal, pty.terminal);
  DescriptorBuffer buffer(pty.terminal);
  std::ostream errors(&buffer);
  ProgressDisplay display = startProgressDisplay(*console, u"Progress:");
  updateProgress(*console, display, 50);
  printErrorLine(*console, display, errors, "File #7 bad");
  updateProgress(*console, display, 50);  // unchanged: nothing more
  EXPECT_EQ(pty.received(), drawingAt30(9) + "\r\x1b[2K" + "File #7 bad\n" + drawingAt30(9));
}

}  // namespace
}  // namespace quarry
