// How console operations are spelled for an ANSI terminal.
#include <gtest/gtest.h>

#include <string>

#include "console/ansi_sequences.h"

namespace quarry {
namespace {

TEST(ConsoleAnsi, AttributeWordsBecomeSgrColours) {
  const std::pair<std::uint16_t, std::string> cases[] = {
      {0x0007, "\x1b[39;49m"},  // the start-up word: the terminal's own colours
      {0x000C, "\x1b[91;49m"},  // bright red label
      {0x000A, "\x1b[92;49m"},  // bright green bar
      {0x0001, "\x1b[34;49m"},  // console blue is ANSI 4
      {0x0004, "\x1b[31;49m"},  // console red is ANSI 1
      {0x000E, "\x1b[93;49m"},  // red + green + bright: bright yellow
      {0x0009, "\x1b[94;49m"}, {0x0000, "\x1b[30;49m"},
      {0x000F, "\x1b[97;49m"}, {0x001E, "\x1b[93;44m"},
      {0x0047, "\x1b[39;41m"}, {0x00F0, "\x1b[30;107m"},
      {0x0070, "\x1b[30;47m"}, {0x00C7, "\x1b[39;101m"},
      {0x8C07, "\x1b[39;49m"},  // bits 8-15 are not shown
  };
  for (const auto& [attributes, sgr] : cases) {
    EXPECT_EQ(selectGraphicRendition(attributes), sgr) << std::hex << attributes;
  }
}

TEST(ConsoleAnsi, ColumnsAreReachedFromTheLineStart) {
  EXPECT_EQ(moveToColumn(0), "\r");
  EXPECT_EQ(moveToColumn(1), "\r\x1b[1C");
  EXPECT_EQ(moveToColumn(37), "\r\x1b[37C");
  EXPECT_EQ(moveToColumn(-4), "\r");
}

struct Utf8Case {
  std::u16string text;
  std::uint32_t count;
  std::string utf8;
};

TEST(ConsoleAnsi, Utf16BecomesUtf8) {
  const Utf8Case cases[] = {
      {u"Progress:", 9, "Progress:"},
      {u"Progress:", 4, "Prog"},
      {u"\u00e9", 1, "\xc3\xa9"},
      {u"\u20ac", 1, "\xe2\x82\xac"},
      {u"\U0001F600", 2, "\xf0\x9f\x98\x80"},
      {u"a\xd83d"
       u"b",
       3,
       "a\xef\xbf\xbd"
       "b"},                               // unpaired high surrogate
      {u"\xde00", 1, "\xef\xbf\xbd"},      // unpaired low surrogate
      {u"\U0001F600", 1, "\xef\xbf\xbd"},  // a pair cut by the count
  };
  for (const Utf8Case& c : cases) {
    std::string out = "=";
    appendTerminalText(out, std::u16string_view(c.text.data(), c.count));
    EXPECT_EQ(out, "=" + c.utf8);
  }
}

}  // namespace
}  // namespace quarry
