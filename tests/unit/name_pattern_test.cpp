#include "extract/name_pattern.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "app/message_text.h"

namespace quarry {
namespace {

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

// The test list shows the case with only letters, digits and a few plain marks: ctest's
// discovery reads that list as CMake text, where brackets, backslashes and semicolons mean
// something. A failure traces the case exactly.
std::string plainMarks(const char* text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string shown;
  for (const char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x80 && (std::isalnum(byte) || std::strchr("./*?!-", byte))) {
      shown += *c;
    } else {
      shown += {'_', 'x', HEX[byte >> 4], HEX[byte & 0xF]};
    }
  }
  return shown;
}

void PrintTo(const MatchCase& c, std::ostream* out) {
  *out << plainMarks(c.pattern) << " on " << plainMarks(c.name);
}

class NamePatternMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(NamePatternMatch, MatchesTheWholeName) {
  const MatchCase& c = GetParam();
  SCOPED_TRACE(escapeForMessage(c.pattern) + " on " + escapeForMessage(c.name));
  EXPECT_EQ(matchesName(compileNamePattern(c.pattern), c.name), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    WithinOneLevel, NamePatternMatch,
    ::testing::Values(MatchCase{"*.dds", "a.dds", true}, MatchCase{"*.dds", ".dds", true},
                      MatchCase{"*.dds", "t/a.dds", false}, MatchCase{"*.dds", "a.ddsx", false},
                      MatchCase{"*", "", true}, MatchCase{"*", "a/b", false},
                      MatchCase{"*/*", "a/b", true}, MatchCase{"a*b*c", "aXbYc", true},
                      MatchCase{"a*b*c", "aXcYb", false}, MatchCase{"?", "a", true},
                      MatchCase{"?", "/", false}, MatchCase{"?", "ab", false},
                      MatchCase{"", "", true}, MatchCase{"", "a", false},
                      MatchCase{"a", "ab", false}, MatchCase{"b", "ab", false}));

// "?" takes one character, not one byte; a byte that is not UTF-8 is a character of its own
// and matches only itself, never the code point of the same number.
INSTANTIATE_TEST_SUITE_P(Characters, NamePatternMatch,
                         ::testing::Values(MatchCase{"?.txt", "\xC3\xA9.txt", true},
                                           MatchCase{"??.txt", "\xC3\xA9.txt", false},
                                           MatchCase{"?", "\xF0\x9F\x98\x80", true},
                                           MatchCase{"?", "\xFF", true},
                                           MatchCase{"\xFF*",
                                                     "\xFF"
                                                     "abc",
                                                     true},
                                           MatchCase{"\xFF", "\xC3\xBF", false},
                                           MatchCase{"\xC3\xBF", "\xFF", false},
                                           MatchCase{"\xC3\xA9", "\xC3\x89", false}));

INSTANTIATE_TEST_SUITE_P(
    AcrossLevels, NamePatternMatch,
    ::testing::Values(MatchCase{"textures/**/*.dds", "textures/a.dds", true},
                      MatchCase{"textures/**/*.dds", "textures/x/y/a.dds", true},
                      MatchCase{"textures/**/*.dds", "textures/x/a.png", false},
                      MatchCase{"textures/**/*.dds", "other/textures/a.dds", false},
                      MatchCase{"textures/**/*.dds", "texturesa.dds", false},
                      MatchCase{"**/*.dds", "a.dds", true},
                      MatchCase{"**/*.dds", "x/y/a.dds", true},
                      MatchCase{"**", "any/depth/at/all", true}, MatchCase{"**", "", true},
                      MatchCase{"textures/**", "textures/a/b", true},
                      MatchCase{"textures/**", "textures", false}, MatchCase{"a**b", "a/x/b", true},
                      MatchCase{"a**/b", "ab", false}, MatchCase{"a/***/b", "a/b", true},
                      MatchCase{"a/**/b", "a/x/y/b", true}, MatchCase{"a/**/**/b", "a/b", true},
                      MatchCase{"a/**/**/b", "a/x/y/b", true}, MatchCase{"a/**/**/b", "ab", false},
                      MatchCase{"*/**/*", "a", false}, MatchCase{"**/*", "a/b", true},
                      MatchCase{"*****", "a/b", true}, MatchCase{"a**/**b", "a/x/b", true}));

INSTANTIATE_TEST_SUITE_P(
    Sets, NamePatternMatch,
    ::testing::Values(MatchCase{"[abc].txt", "b.txt", true}, MatchCase{"[abc].txt", "d.txt", false},
                      MatchCase{"[a-c]x", "Bx", true}, MatchCase{"[A-C]x", "bx", true},
                      MatchCase{"[!a-c]x", "dx", true}, MatchCase{"[!a-c]x", "Ax", false},
                      MatchCase{"[^0-9]", "5", false}, MatchCase{"[^0-9]", "x", true},
                      MatchCase{"[]]", "]", true}, MatchCase{"[!]]", "a", true},
                      MatchCase{"[!]]", "]", false}, MatchCase{"[a-]", "-", true},
                      MatchCase{"[z-a]", "m", false}, MatchCase{"[*]", "*", true},
                      MatchCase{"[*]", "a", false}, MatchCase{"[?]", "a", false},
                      MatchCase{"[", "[", true}, MatchCase{"[ab", "[ab", true},
                      MatchCase{"[]", "[]", true}, MatchCase{"x[/]y", "x/y", false},
                      MatchCase{"x[!a]y", "x/y", false}, MatchCase{"[\xC3\xA9]", "\xC3\xA9", true},
                      MatchCase{"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},
                      MatchCase{"[e-ga-c]", "f", true}, MatchCase{"[e-ga-c]", "d", false},
                      MatchCase{"[a-cb-e]", "d", true}, MatchCase{"[!c-az]", "b", true},
                      MatchCase{"[ca-b]", "B", true}, MatchCase{"???", "ab", false},
                      MatchCase{"??", "\xC3\xA9", false}));

INSTANTIATE_TEST_SUITE_P(SeparatorsAndCase, NamePatternMatch,
                         ::testing::Values(MatchCase{"textures/a.dds", "textures\\a.dds", true},
                                           MatchCase{"textures\\*.dds", "textures/a.dds", true},
                                           MatchCase{"a\\**\\b", "a/x\\y/b", true},
                                           MatchCase{"TEXTURES/*.DDS", "textures/A.dds", true},
                                           MatchCase{"\xC3\xA9", "\xC3\x89", false},
                                           MatchCase{"?", "\\", false}));

// Names come from containers anyone can write: a pattern that makes a backtracking matcher
// take exponential time must still be answered at once, and a pattern as long as a command
// line costs no more than the names it is tried on allow.
TEST(NamePattern, PathologicalPatternsTakeBoundedTime) {
  struct Case {
    std::string pattern;
    std::string name;
    int names;  // how many times the name is tried, as a container's entries would be
  };
  const auto repeated = [](std::string_view part, std::size_t size) {
    std::string text;
    while (text.size() < size) text += part;
    return text;
  };
  const Case cases[] = {{repeated("*a", 80) + "b", std::string(20000, 'a'), 1},
                        {repeated("**/a", 120) + "b", repeated("a/", 6000) + "ac", 1},
                        {"[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*[a-z]*!", std::string(20000, 'q'), 1},
                        {repeated("**/", 100000) + "x", repeated("ab/", 3000), 51},
                        {repeated("*", 100000) + "/x", repeated("ab/", 3000), 51},
                        {repeated("*/", 100000), repeated("ab/", 3000), 51},
                        {"*[" + repeated("0123456789", 100000) + "]*", repeated("abc", 3000), 51}};
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const NamePattern pattern = compileNamePattern(c.pattern);
    for (int k = 0; k < c.names; ++k) EXPECT_FALSE(matchesName(pattern, c.name));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2))
        << c.pattern.substr(0, 20);
  }
}

TEST(NamePattern, KeepsTheTextAsTyped) {
  EXPECT_EQ(compileNamePattern("Textures\\**").text, "Textures\\**");
}

TEST(PatternSet, WithoutPatternsSelectsEverything) {
  PatternSet set({});
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.selects("any/name"));
  EXPECT_TRUE(set.selects(""));
  EXPECT_TRUE(set.unmatched().empty());
}

TEST(PatternSet, SelectsByAnyPatternAndNamesThoseThatMatchedNothing) {
  PatternSet set({"*.dds", "*.png", "sound/**", "nothing"});
  const std::pair<const char*, bool> names[] = {
      {"a.dds", true}, {"b.txt", false}, {"c.png", true}, {"sound\\x/y.wem", true}};
  for (const auto& [name, selected] : names) EXPECT_EQ(set.selects(name), selected) << name;
  EXPECT_EQ(set.unmatched(), std::vector<std::string>{"nothing"});
}

// A name that two patterns match must count for both, even when one has matched before.
TEST(PatternSet, NoticesAPatternWhoseFirstMatchAnotherAlsoMatches) {
  PatternSet set({"*.dds", "b*", "c*"});
  EXPECT_TRUE(set.selects("a.dds"));
  EXPECT_TRUE(set.selects("b.dds"));
  EXPECT_FALSE(set.selects("d.png"));
  EXPECT_EQ(set.unmatched(), std::vector<std::string>{"c*"});
}

}  // namespace
}  // namespace quarry
