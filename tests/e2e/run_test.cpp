// The run as a user meets it: arguments, containers that cannot be opened, the count line,
// the walk in index order and the exit status.
#include <gtest/gtest.h>

#include "e2e/sandbox.h"

namespace quarry::testing {
namespace {

TEST(Run, WrongArgumentCountsPrintTheUsage) {
  Sandbox sandbox;
  const std::vector<std::vector<std::string>> argumentLists = {{}, {"only-one"}};
  for (const auto& arguments : argumentLists) {
    SCOPED_TRACE(arguments.size());
    const ProcessResult result = sandbox.run(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, USAGE_TEXT);
    EXPECT_EQ(result.out, "");
  }
}

TEST(Run, ContainersThatCannotBeOpenedStopTheRun) {
  Sandbox sandbox;
  fs::create_directories(sandbox.root() / "a-directory");
  writeBytes(sandbox.root() / "empty", {});
  writeBytes(sandbox.root() / "short", Bytes(50, 0));
  struct Case {
    const char* name;
    const char* reason;  // part of the second line
  };
  const Case cases[] = {{"missing", "Cannot open"},
                        {"a-directory", "Cannot open"},
                        {"empty", "Cannot open"},
                        {"short", "The header is cut short"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult result =
        sandbox.run({(sandbox.root() / c.name).string(), sandbox.output().string()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind(OPEN_FAILED_TEXT, 0), 0u) << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2);
    EXPECT_FALSE(fs::exists(sandbox.output()));
  }
}

TEST(Run, AnEmptyContainerCountsZeroAndCreatesNothing) {
  Sandbox sandbox;
  sandbox.writeContainer({});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "Found 0 files, extracting...\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

TEST(Run, EntriesAreWalkedInIndexOrderAndDamagedOnesFailAlone) {
  Sandbox sandbox;
  std::vector<ContainerEntry> entries;
  for (int k = 0; k < 6; ++k) {
    entries.push_back(
        storedEntry("f" + std::to_string(k), textBytes("entry " + std::to_string(k))));
  }
  entries[1].nameIndex = 1000;
  entries[4].storedSize = 1ull << 40;
  sandbox.writeContainer(entries, {.indexWordCount = 3, .gap = 7});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Found 6 files, extracting...\n");
  EXPECT_EQ(result.err,
            "File #1 has a name index past the end of the string table\n"
            "File #4 has stored bytes outside the file\n");
  const auto tree = treeOf(sandbox.output());
  EXPECT_EQ(tree, (std::map<std::string, Bytes>{{"f0", textBytes("entry 0")},
                                                {"f2", textBytes("entry 2")},
                                                {"f3", textBytes("entry 3")},
                                                {"f5", textBytes("entry 5")}}));
}

TEST(Run, AHugeEntryCountFailsAtTheOpen) {
  Sandbox sandbox;
  BuiltContainer built = buildContainer({storedEntry("a", textBytes("x"))});
  putU32(built.bytes, 0x20, 0xFFFFFFFF);
  writeBytes(sandbox.container(), built.bytes);
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err, std::string(OPEN_FAILED_TEXT) +
                            "The index block's name records lie outside the file\n");
}

TEST(Run, WithoutTheDecoderNothingElseIsLookedAt) {
  Sandbox sandbox(false);
  sandbox.writeContainer({storedEntry("a", textBytes("x"))});
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {sandbox.container().string(), sandbox.output().string()}}) {
    const ProcessResult result = sandbox.run(arguments);
    EXPECT_EQ(result.exitCode, STATUS_NO_DECODER);
    EXPECT_EQ(result.err, std::string(NO_DECODER_TEXT) + "\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(sandbox.output()));
  }
}

// Found beside the program, a file that will not load is named, never taken for a missing one.
TEST(Run, ADecoderThatWillNotLoadIsNamedWithTheReason) {
  struct Case {
    const char* bytes;
    bool windowsImage;  // starts as one; a POSIX build without the loader only names it
  };
  for (const Case c : {Case{"MZ not really a library", true}, Case{"not a library", false}}) {
    Sandbox sandbox(false);
    writeBytes(sandbox.programFolder() / "oo2core_8_win64.dll", textBytes(c.bytes));
    const ProcessResult result = sandbox.run({});
    EXPECT_EQ(result.exitCode, STATUS_NO_DECODER);
    EXPECT_EQ(result.err.rfind(NO_DECODER_TEXT, 0), 0u);
#if defined(_WIN32) || defined(QUARRY_WINDOWS_LOADER)
    const bool loads = true;
#else
    const bool loads = !c.windowsImage;
#endif
    const char* said = loads ? "could not be loaded" : "is a Windows library";
    EXPECT_NE(result.err.find(said), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 3) << result.err;
  }
}

TEST(Run, ALibraryWithoutTheEntryPointIsNamed) {
  Sandbox sandbox(false);
  fs::copy_file(builtPath(QUARRY_DECODER_WITHOUT_ENTRY),
                sandbox.programFolder() / "oo2core_8_win64.dll");
  const ProcessResult result = sandbox.run({});
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER);
  const std::string secondLine = result.err.substr(sizeof NO_DECODER_TEXT - 1);
  EXPECT_EQ(result.err.rfind(NO_DECODER_TEXT, 0), 0u) << result.err;
  EXPECT_EQ(secondLine.rfind("The library ", 0), 0u) << secondLine;
  const std::string ending = "oo2core_8_win64.dll has no entry point OodleLZ_Decompress\n\n";
  ASSERT_GE(secondLine.size(), ending.size());
  EXPECT_EQ(secondLine.substr(secondLine.size() - ending.size()), ending);
}

#ifndef _WIN32
TEST(Run, AWindowsDllIsExplainedOnLinux) {
  Sandbox sandbox(false);
  Bytes dll = textBytes("MZ");
  dll.resize(4096, 0);
  writeBytes(sandbox.programFolder() / "oo2core_8_win64.dll", dll);
  const ProcessResult result = sandbox.run({});
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER);
#ifdef QUARRY_WINDOWS_LOADER
  const std::string reason = "the Windows library is damaged (the PE signature is missing)";
#else
  const std::string reason = "is a Windows library, and Quarry runs one only on 64-bit x86 Linux";
#endif
  EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 3);
}

TEST(Run, ArgumentsThatAreNotUtf8NameTheSameFiles) {
  Sandbox sandbox;
  const fs::path container = sandbox.root() / "caf\xE9.resources";  // Latin-1, not UTF-8
  writeBytes(container, buildContainer({storedEntry("x.dat", textBytes("bytes"))}).bytes);
  const fs::path output = sandbox.root() / "out\xFF";
  const ProcessResult result = sandbox.run({container.string(), output.string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readBytes(output / "x.dat"), textBytes("bytes"));
}
#endif

}  // namespace
}  // namespace quarry::testing
