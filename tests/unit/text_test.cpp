#include <gtest/gtest.h>

#include "extract/text.h"

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
    std::u16string out;
    EXPECT_EQ(decodeUtf8Strict(c.bytes, out), c.valid);
  }
}

TEST(Text, PosixPathsUseTheSlash) {
  EXPECT_EQ(nativePosixPath(u"out\\a/b\\c"), "out/a/b/c");
  EXPECT_EQ(nativePosixPath(decodeLossless("x\xFF\\y")), "x\xFF/y");
}

TEST(Text, MessagesShowControlBytesAndBadUtf8Escaped) {
  EXPECT_EQ(escapeForMessage("a/b.dat"), "a/b.dat");
  EXPECT_EQ(escapeForMessage("d\xC3\xA9j\xC3\xA0"), "d\xC3\xA9j\xC3\xA0");
  EXPECT_EQ(escapeForMessage("\x1B[31mred\x07"), "\\x1B[31mred\\x07");
  EXPECT_EQ(escapeForMessage("tab\there\nnew\x7F"), "tab\\x09here\\x0Anew\\x7F");
  EXPECT_EQ(escapeForMessage("bad\xFF\xC3"), "bad\\xFF\\xC3");
#ifdef _WIN32
  EXPECT_EQ(pathForMessage(u"out\\\x1B"), "out\\\\x1B");
#else
  EXPECT_EQ(pathForMessage(u"out\\\x1B"), "out/\\x1B");
#endif
}

}  // namespace
}  // namespace quarry
