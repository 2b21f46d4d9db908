#include <gtest/gtest.h>

#include <algorithm>

#include <optional>
#include <string>
#include <vector>

#include "app/message_text.h"
#include "base/unicode.h"
#include "extract/paths.h"

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

// A platform path from ASCII text.
PathString native(std::string_view text) {
  return PathString(text.begin(), text.end());
}

TEST(OutputPaths, SafeNamesJoinBelowTheFolder) {
  struct Case {
    std::string folder;
    std::string name;
    std::string posix;    // the path on POSIX, where the folder is a plain path
    std::string windows;  // the path on Windows
  };
  const Case cases[] = {
      {"out", "a/b\\c.dat", "out/a/b/c.dat", "out\\a\\b\\c.dat"},
      {"out/", "c", "out/c", "out/c"},
      {"", "a/b", "a/b", "a\\b"},
      {"x:", "a/b.txt", "x:/a/b.txt", "x:a\\b.txt"},
      // Below a \\?\ folder Windows takes a slash as part of a name: the join uses backslashes.
      {"\\\\?\\Z:\\out", "a/b/c", "\\\\?\\Z:\\out/a/b/c", "\\\\?\\Z:\\out\\a\\b\\c"},
      {"//host", "f", "//host/f", "//host\\f"},
      {"a\\b", "f", "a\\b/f", "a\\b\\f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + " + " + c.name);
    OutputPath target;
    EXPECT_FALSE(outputPathFor(native(c.folder), c.name, target));
#ifdef _WIN32
    EXPECT_EQ(target.path, native(c.windows));
#else
    EXPECT_EQ(target.path, native(c.posix));
#endif
    EXPECT_EQ(target.path.size() - target.nameStart, c.name.size());
  }
#ifndef _WIN32  // Windows decodes names in the code page of the locale, not always UTF-8
  OutputPath accented;
  EXPECT_FALSE(outputPathFor("o", "d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt", accented));
  EXPECT_EQ(accented.path, "o/d\xC3\xA9j\xC3\xA0/\xE2\x82\xAC.txt");
#endif
}

TEST(OutputPaths, TheParentAndTheLeafAreTheNamesOwnParts) {
  struct Case {
    std::string name;
    std::string parent;
    std::string leaf;
  };
  const Case cases[] = {
      {"a/b/c.dat", "a/b", "c.dat"}, {"c.dat", "", "c.dat"}, {"a//c", "a", "c"},
      {"a/b/", "a/b", ""},           {"", "", ""},           {"./x", ".", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OutputPath target;
    ASSERT_FALSE(outputPathFor(native("out/"), c.name, target));
    PathString parent(relativeParentOf(target));
    std::replace(parent.begin(), parent.end(), PathChar('\\'),
                 PathChar('/'));  // Windows joins with backslashes
    EXPECT_EQ(parent, native(c.parent));
    EXPECT_EQ(leafOf(target), native(c.leaf));
  }
}

TEST(OutputPaths, NamesThatCouldLeaveTheFolderAreRefused) {
  using enum NameProblem;
  struct Case {
    std::u16string name;
    std::optional<NameProblem> portable;  // refusal on every platform
    std::optional<NameProblem> windows;   // refusal with the Windows rules
  };
  const Case cases[] = {
      {u"a/b/c.dat", {}, {}},
      {u"", {}, {}},
      {u"a/./b", {}, {}},
      {u"..a/b..", {}, HasTrailingDotOrSpace},
      {u"..a/b", {}, {}},
      {u"../x", HasParentComponent, HasParentComponent},
      {u"a/../../x", HasParentComponent, HasParentComponent},
      {u"a\\..\\x", HasParentComponent, HasParentComponent},
      {u"..", HasParentComponent, HasParentComponent},
      {u"/etc/x", StartsWithSeparator, StartsWithSeparator},
      {u"\\x", StartsWithSeparator, StartsWithSeparator},
      {u"C:/x", HasPrefix, HasPrefix},
      {u"C:x", HasPrefix, HasPrefix},
      {u"\\\\host\\share\\x", HasPrefix, HasPrefix},
      {u"//?/C:/x", HasPrefix, HasPrefix},
      {u"CON", {}, HasDeviceName},
      {u"a/nul.txt", {}, HasDeviceName},
      {u"a/Com1", {}, HasDeviceName},
      {u"LPT9.tar.gz", {}, HasDeviceName},
      {u"COM\u00B9", {}, HasDeviceName},
      {u"lpt\u00B3.txt", {}, HasDeviceName},
      {u"COM0", {}, HasDeviceName},
      {u"a/LPT0", {}, HasDeviceName},
      {u"COM10", {}, {}},
      {u"console", {}, {}},
      {u"a:b", HasPrefix, HasPrefix},
      {u"dir/file:stream", {}, HasColon},
      {u"a/... ", {}, HasTrailingDotOrSpace},
      {u"x./y", {}, HasTrailingDotOrSpace},
      {u"a/ /b", {}, HasTrailingDotOrSpace},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.name));
    EXPECT_EQ(nameRefusal(c.name, false), c.portable);
    EXPECT_EQ(nameRefusal(c.name, true), c.windows);
    if (c.name.find_first_of(u"\u00B9\u00B2\u00B3") == std::u16string::npos) {  // same grammar
      EXPECT_EQ(nameRefusal(utf8(c.name), false), c.portable);
      EXPECT_EQ(nameRefusal(utf8(c.name), true), c.windows);
    }
  }
}

TEST(OutputPaths, NamesThatCannotBeFilesGetNoPath) {
  struct Case {
    std::string name;
    NameProblem problem;
  };
  std::vector<Case> cases = {
      {"../escape", NameProblem::HasParentComponent},
      {std::string(PATH_LIMIT * 3, 'a'), NameProblem::PathTooLong},
      {std::string(PATH_LIMIT - 4, 'a'), NameProblem::PathTooLong},  // with "out/" it is too long
  };
#ifndef _WIN32
  for (const char* bad :
       {"bad\xFF", "\xC0\xAF", "\xED\xA0\x80", "cut\xE2\x82", "\xF4\x90\x80\x80"}) {
    cases.push_back({bad, NameProblem::NotUtf8});
  }
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(escapeForMessage(c.name));
    OutputPath target;
    const auto failure = outputPathFor(native("out"), c.name, target);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->problem, c.problem);
    if (c.problem == NameProblem::PathTooLong) {
      EXPECT_EQ(failure->limit, PATH_LIMIT - 1);
    }
  }
  OutputPath longest;
  EXPECT_FALSE(outputPathFor(native("out"), std::string(PATH_LIMIT - 5, 'a'), longest));
  EXPECT_EQ(longest.path.size(), PATH_LIMIT - 1);
}

}  // namespace
}  // namespace quarry
