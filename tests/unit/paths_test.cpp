#include <gtest/gtest.h>

#include <string>

#include "extract/paths.h"
#include "extract/text.h"

namespace quarry {
namespace {

std::string utf8(std::u16string_view text) {
  return encodeLossless(text);
}

TEST(PathGrammar, RootNamesAndRootParts) {
  struct Case {
    std::u16string path;
    std::size_t rootName;
    std::size_t rootPart;
  };
  const Case cases[] = {
      {u"", 0, 0},
      {u"a", 0, 0},
      {u"/", 0, 1},
      {u"C:", 2, 2},
      {u"z:x", 2, 2},
      {u"C:\\x", 2, 3},
      {u"C:\\//x", 2, 5},
      {u"1:x", 0, 0},
      {u"out\\a", 0, 0},
      {u"\\\\?\\D:\\x", 3, 4},
      {u"//./COM1", 3, 4},
      {u"\\??\\x", 3, 4},
      {u"\\\\?\\\\x", 3, 5},  // a separator after the device's: a server prefix instead
      {u"//host/share/x", 6, 7},
      {u"\\\\host", 6, 6},
      {u"//", 0, 2},
      {u"///x", 0, 3},
      {u"/x/y", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.path));
    EXPECT_EQ(rootNameEnd(c.path), c.rootName);
    EXPECT_EQ(rootPartEnd(c.path), c.rootPart);
  }
}

TEST(PathGrammar, JoinInsertsOneBackslashWhereNeeded) {
  struct Case {
    std::u16string folder;
    std::u16string name;
    std::u16string joined;
  };
  const Case cases[] = {
      {u"out", u"a/b/c.dat", u"out\\a/b/c.dat"},
      {u"out/", u"a/b/c.dat", u"out/a/b/c.dat"},
      {u"out\\", u"a", u"out\\a"},
      {u"C:\\x\\out", u"a\\b.dat", u"C:\\x\\out\\a\\b.dat"},
      {u"", u"a/b/c.dat", u"a/b/c.dat"},
      {u"D:", u"c.dat", u"D:c.dat"},
      {u"//host", u"c.dat", u"//host\\c.dat"},
      {u"out", u"", u"out\\"},
      {u"", u"", u""},
      {u"D:", u"", u"D:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.folder) + " + " + utf8(c.name));
    EXPECT_EQ(joinBelow(c.folder, c.name), c.joined);
  }
}

TEST(PathGrammar, ParentPathDropsTheLastComponentButNotTheRoot) {
  struct Case {
    std::u16string path;
    std::u16string parent;
  };
  const Case cases[] = {
      {u"out\\a/b/c.dat", u"out\\a/b"},
      {u"out\\c.dat", u"out"},
      {u"out\\a//c.dat", u"out\\a"},
      {u"out\\a/b/", u"out\\a/b"},
      {u"c.dat", u""},
      {u"D:/c.dat", u"D:/"},
      {u"out\\", u"out"},
      {u"/", u"/"},
      {u"C:", u"C:"},
      {u"//host/share", u"//host/"},
      {u"/x", u"/"},
      {u"a//b//", u"a//b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.path));
    EXPECT_EQ(parentPathOf(c.path), c.parent);
  }
}

TEST(OutputPaths, SafeNamesJoinBelowTheFolder) {
  const std::string name = "a/b\\c.dat";
  const OutputPath result = outputPathFor(u"out", name.data(), name.size());
  EXPECT_EQ(result.problem, "");
  EXPECT_EQ(result.path, u"out\\a/b\\c.dat");
#ifndef _WIN32  // Windows decodes names in the code page of the locale, not always UTF-8
  const std::string accented = "d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt";
  EXPECT_EQ(outputPathFor(u"o", accented.data(), accented.size()).path,
            u"o\\d\u00E9j\u00E0/\u20AC.txt");
#endif
}

TEST(OutputPaths, NamesThatCouldLeaveTheFolderAreRefused) {
  struct Case {
    std::u16string name;
    const char* portable;  // refusal on every platform, or nullptr
    const char* windows;   // refusal with the Windows rules, or nullptr
  };
  const char* PREFIX = "its name has a drive, device or server prefix";
  const char* ROOTED = "its name starts with a separator";
  const char* UP = "its name has a '..' component";
  const char* DEVICE = "its name has a reserved device name";
  const char* COLON = "its name has a colon inside a component";
  const char* TRAILING = "its name has a component that ends in a dot or a space";
  const Case cases[] = {
      {u"a/b/c.dat", nullptr, nullptr},
      {u"", nullptr, nullptr},
      {u"a/./b", nullptr, nullptr},
      {u"..a/b..", nullptr, TRAILING},
      {u"..a/b", nullptr, nullptr},
      {u"../x", UP, UP},
      {u"a/../../x", UP, UP},
      {u"a\\..\\x", UP, UP},
      {u"..", UP, UP},
      {u"/etc/x", ROOTED, ROOTED},
      {u"\\x", ROOTED, ROOTED},
      {u"C:/x", PREFIX, PREFIX},
      {u"C:x", PREFIX, PREFIX},
      {u"\\\\host\\share\\x", PREFIX, PREFIX},
      {u"//?/C:/x", PREFIX, PREFIX},
      {u"CON", nullptr, DEVICE},
      {u"a/nul.txt", nullptr, DEVICE},
      {u"a/Com1", nullptr, DEVICE},
      {u"LPT9.tar.gz", nullptr, DEVICE},
      {u"COM0", nullptr, nullptr},
      {u"console", nullptr, nullptr},
      {u"a:b", PREFIX, PREFIX},
      {u"dir/file:stream", nullptr, COLON},
      {u"a/... ", nullptr, TRAILING},
      {u"x./y", nullptr, TRAILING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.name));
    const char* portable = nameRefusal(c.name, false);
    const char* windows = nameRefusal(c.name, true);
    EXPECT_EQ(std::string(portable ? portable : "-"), std::string(c.portable ? c.portable : "-"));
    EXPECT_EQ(std::string(windows ? windows : "-"), std::string(c.windows ? c.windows : "-"));
  }
}

TEST(OutputPaths, RefusedNamesGetNoPath) {
  const std::string name = "../escape";
  const OutputPath result = outputPathFor(u"out", name.data(), name.size());
  EXPECT_EQ(result.problem, "its name has a '..' component");
  EXPECT_TRUE(result.path.empty());
}

#ifndef _WIN32
TEST(OutputPaths, NamesThatAreNotUtf8AreRefused) {
  const std::string names[] = {"bad\xFF", "\xC0\xAF", "\xED\xA0\x80", "cut\xE2\x82",
                               "\xF4\x90\x80\x80"};
  for (const std::string& name : names) {
    SCOPED_TRACE(escapeForMessage(name));
    const OutputPath result = outputPathFor(u"out", name.data(), name.size());
    EXPECT_EQ(result.problem, "its name is not valid UTF-8");
    EXPECT_TRUE(result.path.empty());
  }
}
#endif

}  // namespace
}  // namespace quarry
