// Stored entries landing in the output tree: directories, replacement, odd names, and
// names that try to leave the folder.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "e2e/sandbox.h"

namespace quarry::testing {
namespace {

TEST(Extract, CreatesADeepOutputFolderAndEveryDirectoryOnTheWay) {
  Sandbox sandbox;
  sandbox.writeContainer(
      {storedEntry("a/b/c.dat", textBytes("abc")), storedEntry("a\\b/d.dat", textBytes("abd")),
       storedEntry("e//f.dat", textBytes("ef")), storedEntry("top.dat", textBytes("top"))});
  const fs::path deep = sandbox.root() / "x" / "y" / "z";
  const ProcessResult result = sandbox.run({sandbox.container().string(), deep.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(treeOf(deep), (Tree{{"a/b/c.dat", textBytes("abc")},
                                {"a/b/d.dat", textBytes("abd")},
                                {"e/f.dat", textBytes("ef")},
                                {"top.dat", textBytes("top")}}));
}

TEST(Extract, LaterEntriesReplaceEarlierFilesAndEmptyPayloadsMakeEmptyFiles) {
  Sandbox sandbox;
  fs::create_directories(sandbox.output());
  writeBytes(sandbox.output() / "old.dat", textBytes("a long existing content"));
  sandbox.writeContainer(
      {storedEntry("same.dat", textBytes("first")), storedEntry("same.dat", textBytes("second")),
       storedEntry("old.dat", textBytes("new")), storedEntry("empty.dat", {})},
      {.shareNames = false});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(
      treeOf(sandbox.output()),
      (Tree{{"same.dat", textBytes("second")}, {"old.dat", textBytes("new")}, {"empty.dat", {}}}));
}

TEST(Extract, NamesThatCannotBeFilesFailWithTheirOwnLines) {
  Sandbox sandbox;
  fs::create_directories(sandbox.output() / "taken" / "dir.dat");
  sandbox.writeContainer(
      {storedEntry("a/b/", textBytes("1")), storedEntry("", textBytes("2")),
       storedEntry("ok.dat", textBytes("3")), storedEntry("ok.dat/sub/below.dat", textBytes("4")),
       storedEntry("taken/dir.dat", textBytes("5")), storedEntry("last.dat", textBytes("6"))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(treeOf(sandbox.output()),
            (Tree{{"ok.dat", textBytes("3")}, {"last.dat", textBytes("6")}}));
  EXPECT_TRUE(fs::is_directory(sandbox.output() / "a" / "b"));
  const char* expectedStarts[] = {"File #0 \"a/b/\" cannot write ", "File #1 \"\" cannot write ",
                                  "File #3 \"ok.dat/sub/below.dat\" cannot create directory ",
                                  "File #4 \"taken/dir.dat\" cannot write "};
  std::istringstream lines(result.err);
  std::string line;
  for (const char* start : expectedStarts) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.rfind(start, 0), 0u) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
}

TEST(Extract, HostileNamesCreateNothingOutsideTheOutputFolder) {
  Sandbox sandbox;
  std::vector<std::string> names = {"../x",      "/etc/quarry-x", "C:/x", "\\\\host\\share\\x",
                                    "a/../../x", "..\\y",         "a/..", "//?/C:/x"};
#ifdef _WIN32
  names.insert(names.end(), {"CON", "a:b", "sub/nul.txt", "dots.. "});
#endif
  std::vector<ContainerEntry> entries;
  for (const std::string& name : names) entries.push_back(storedEntry(name, textBytes("evil")));
  entries.push_back(storedEntry("fine.dat", textBytes("good")));
  const fs::path output = sandbox.root() / "nest" / "out";
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.run({sandbox.container().string(), output.string()});
  EXPECT_EQ(result.exitCode, 1);
  const auto lineCount = std::count(result.err.begin(), result.err.end(), '\n');
  EXPECT_EQ(lineCount, static_cast<long>(names.size())) << result.err;
  EXPECT_NE(result.err.find("File #0 \"../x\" is refused: "), std::string::npos) << result.err;
  EXPECT_EQ(treeOf(sandbox.root() / "nest"), (Tree{{"out/fine.dat", textBytes("good")}}));
  std::vector<std::string> rootItems;
  for (const auto& item : fs::directory_iterator(sandbox.root())) {
    rootItems.push_back(item.path().filename().string());
  }
  std::sort(rootItems.begin(), rootItems.end());
  EXPECT_EQ(rootItems, (std::vector<std::string>{"bin", "nest", "test.resources"}));
  EXPECT_FALSE(fs::exists("/etc/quarry-x"));
}

TEST(Extract, NamesWithControlBytesAreEscapedInMessages) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("../\x1B]0;pwned\x07", textBytes("x"))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err.find('\x1B'), std::string::npos);
  EXPECT_NE(result.err.find("\\x1B]0;pwned\\x07"), std::string::npos) << result.err;
}

TEST(Extract, PathsLongerThanTheOldWindowsLimitWork) {
  Sandbox sandbox;
  std::string name;
  for (int level = 0; level < 14; ++level)
    name += std::string(20, static_cast<char>('a' + level)) + "/";
  name += "leaf.dat";
  ASSERT_GT((sandbox.output().string() + "/" + name).size(), 300u);
  sandbox.writeContainer({storedEntry(name, textBytes("deep"))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  fs::path written = fs::absolute(sandbox.output() / name).make_preferred();
#ifdef _WIN32
  // The test itself carries no long-path manifest; the \\?\ form reads past the old limit.
  written = fs::path(L"\\\\?\\" + written.wstring());
#endif
  EXPECT_EQ(readBytes(written), textBytes("deep"));
}

}  // namespace
}  // namespace quarry::testing
