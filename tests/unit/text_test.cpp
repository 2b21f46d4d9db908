#include <gtest/gtest.h>

#include "app/message_text.h"
#include "base/unicode.h"

namespace quarry {
namespace {

TEST(Text, ArgumentsSurviveTheRoundTripWhateverTheirBytes) {
  const std::string arguments[] = {
      "plain",       "",         "d\xC3\xA9j\xC3\xA0", "\xF0\x9F\x98\x80",
      "bad\xFF\xFE", "\xC0\x80", "\xED\xA0\x80",       "cut\xE2\x82",
      "\x80"};
  for (const std::string& argument : arguments) {
    SCOPED_TRACE(escapeForMessage(argument));
    EXPECT_EQ(encodeLossless(decodeLossless(argument)), argument);
  }
  EXPECT_EQ(decodeLossless("d\xC3\xA9"), u"d\u00E9");
  EXPECT_EQ(decodeLossless("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(decodeLossless("a\xFF"), u"a\xDCFF");
}

TEST(Text, StrictDecodingRefusesMalformedUtf8) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"abc", true},
      {"\xC3\xA9", true},
      {"\xEF\xBF\xBF", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xC3", false},
      {"\xC1\xBF", false},
      {"\xE0\x80\xAF", false},
      {"\xED\xB2\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false},
      {"\xBF", false},
      {"a\xC3(", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(escapeForMessage(c.bytes));
    EXPECT_EQ(isStrictUtf8(c.bytes), c.valid);
  }
}

TEST(Text, MessagesShowControlBytesAndBadUtf8Escaped) {
  EXPECT_EQ(escapeForMessage("a/b.dat"), "a/b.dat");
  EXPECT_EQ(escapeForMessage("d\xC3\xA9j\xC3\xA0"), "d\xC3\xA9j\xC3\xA0");
  EXPECT_EQ(escapeForMessage("\x1B[31mred\x07"), "\\x1B[31mred\\x07");
  EXPECT_EQ(escapeForMessage("tab\there\nnew\x7F"), "tab\\x09here\\x0Anew\\x7F");
  EXPECT_EQ(escapeForMessage("bad\xFF\xC3"), "bad\\xFF\\xC3");
  EXPECT_EQ(pathForMessage(u"a\\b\x1B"), "a\\b\\x1B") << "paths are shown as given";
}

TEST(Text, MessagesEscapeWhatCouldSteerTheTerminal) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      {"\xC2\x9B"
       "2J",
       "\\u{009B}2J"},                                       // C1 control sequence introducer
      {"\xC2\x85", "\\u{0085}"},                             // next line
      {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},                      // printable: kept
      {"abc\xE2\x80\xAEtxt.exe", "abc\\u{202E}txt.exe"},     // right-to-left override
      {"\xE2\x81\xA6x\xE2\x81\xA9", "\\u{2066}x\\u{2069}"},  // isolates
      {"\xE2\x80\x8F\xD8\x9C", "\\u{200F}\\u{061C}"},        // marks
      {"a\xE2\x80\xA8"
       "b",
       "a\\u{2028}b"},  // line separator
      {"\xE2\x80\xA9", "\\u{2029}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(escapeForMessage(c.bytes), c.shown);
  }
}

TEST(Text, LongTextKeepsItsStartAndEndOnOneShortLine) {
  const std::string name = "start" + std::string(1 << 20, 'm') + "end";
  const std::string shown = escapeForMessage(name);
  EXPECT_LE(shown.size(), MESSAGE_TEXT_LIMIT + 10);
  EXPECT_EQ(shown.rfind("startmmm", 0), 0u);
  EXPECT_EQ(shown.substr(shown.size() - 6), "mmmend");
  EXPECT_NE(shown.find("..."), std::string::npos);
  // Escapes stay whole where the text is cut, and a UTF-8 sequence is never split.
  const std::string controls(1000, '\x01');
  const std::string escaped = escapeForMessage(controls);
  EXPECT_LE(escaped.size(), 4 * MESSAGE_TEXT_LIMIT + 3);
  EXPECT_NE(escaped.find("\\x01...\\x01"), std::string::npos) << escaped;
  std::string euros;
  for (int k = 0; k < 200; ++k) euros += "\xE2\x82\xAC";
  const std::string shownEuros = escapeForMessage(euros);
  EXPECT_EQ(shownEuros.find("\\x"), std::string::npos) << shownEuros;
  const std::string atTheLimit(MESSAGE_TEXT_LIMIT, 'a');
  EXPECT_EQ(escapeForMessage(atTheLimit), atTheLimit);
}

}  // namespace
}  // namespace quarry
