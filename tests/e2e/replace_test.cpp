// What stands in the output folder already, a second run, an interrupt and an output folder
// that goes away: built in the test's own folder, then what the run says and leaves on disk.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "e2e/sandbox.h"
#include "support/decoder_log.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#endif

namespace quarry::testing {
namespace {

TEST(Replace, AHardLinkInTheFolderLeavesTheFileOutsideAlone) {
  Sandbox sandbox;
  const fs::path outside = sandbox.root() / "outside" / "precious.txt";
  fs::create_directories(outside.parent_path());
  writeBytes(outside, textBytes("the user's own"));
  fs::create_directories(sandbox.output());
  fs::create_hard_link(outside, sandbox.output() / "victim.txt");
  fs::create_hard_link(outside, sandbox.output() / "decoded.txt");
  sandbox.writeContainer({storedEntry("victim.txt", textBytes("from the container")),
                          compressedEntry("decoded.txt", Bytes(5000, 'd'))});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readBytes(outside), textBytes("the user's own"));
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"victim.txt", textBytes("from the container")},
                                            {"decoded.txt", Bytes(5000, 'd')}}));
}

#ifndef _WIN32
TEST(Replace, AReplacedFileGetsAFreshFilesModeNotTheOldOnes) {
  Sandbox sandbox;
  fs::create_directories(sandbox.output());
  const fs::path old = sandbox.output() / "tool";
  writeBytes(old, textBytes("old"));
  ASSERT_EQ(chmod(old.c_str(), 04755), 0);
  sandbox.writeContainer({storedEntry("tool", textBytes("new"))});
  EXPECT_EQ(sandbox.extract().exitCode, 0);
  struct stat status {};
  ASSERT_EQ(stat(old.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07000, 0u) << "no setuid bit carried over";
  EXPECT_EQ(readBytes(old), textBytes("new"));
}

TEST(Replace, TwoRunsIntoOneFolderLeaveOneRunsWholeFile) {
  Sandbox first;
  Sandbox second;
  const Bytes a(40 << 20, 'A');
  const Bytes b(30 << 20, 'B');
  first.writeContainer({storedEntry("shared.bin", a)});
  second.writeContainer({storedEntry("shared.bin", b)});
  const fs::path out = first.output();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ProcessResult one;
    ProcessResult two;
    std::thread other([&] { two = second.run({second.container().string(), out.string()}); });
    one = first.extract();
    other.join();
    EXPECT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(two.exitCode, 0) << two.err;
    const Bytes left = readBytes(out / "shared.bin");
    EXPECT_TRUE(left == a || left == b) << "a mix of " << left.size() << " bytes";
    EXPECT_EQ(treeOf(out).size(), 1u) << "no temporary file left behind";
  }
}

// Each stop: what the run says, its status, and what it leaves.
struct StopCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> environment;  // the decoder's controls
  int status;
  std::string err;
  Tree left;
};

void PrintTo(const StopCase& c, std::ostream* out) {
  *out << c.what;
}

class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, SaysWhyOnceRemovesTheUnfinishedFileAndKeepsTheRest) {
  const StopCase& c = GetParam();
  Sandbox sandbox;
  fs::create_directories(sandbox.output());
  writeBytes(sandbox.output() / "kept.bin", textBytes("an earlier run's"));
  // The interrupt comes while the entry that would replace kept.bin is decoded.
  sandbox.writeContainer({storedEntry("a.txt", textBytes("first")),
                          compressedEntry("kept.bin", Bytes(100000, 'k')),
                          storedEntry("c.txt", textBytes("after"))});
  ProcessOptions options;
  options.environment = c.environment;
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, c.status);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(treeOf(sandbox.output()), c.left);
}

INSTANTIATE_TEST_SUITE_P(Replace, Stop,
                         ::testing::Values(StopCase{"Sigint",
                                                    {{DECODER_RAISE_VARIABLE, "2"}},
                                                    130,
                                                    "Interrupted by SIGINT; the run stops here\n",
                                                    {{"a.txt", textBytes("first")},
                                                     {"kept.bin", textBytes("an earlier run's")}}},
                                           StopCase{"Sigterm",
                                                    {{DECODER_RAISE_VARIABLE, "15"}},
                                                    143,
                                                    "Interrupted by SIGTERM; the run stops here\n",
                                                    {{"a.txt", textBytes("first")},
                                                     {"kept.bin", textBytes("an earlier run's")}}}),
                         [](const auto& info) { return std::string(info.param.what); });

// The command runs while entry 1 is decoded, as another program would.
ProcessResult extractWhile(const Sandbox& sandbox, std::string command) {
  sandbox.writeContainer({storedEntry("a.txt", textBytes("first")),
                          compressedEntry("b.bin", Bytes(1000, 'b')),
                          storedEntry("c/d.txt", textBytes("after"))});
  for (std::size_t at; (at = command.find("$ROOT")) != std::string::npos;) {
    command.replace(at, 5, sandbox.root().string());
  }
  ProcessOptions options;
  options.environment = {{DECODER_RUN_VARIABLE, command}};
  return sandbox.extract(options);
}

TEST(Replace, AnOutputFolderSwappedForALinkMidRunIsNeverFollowed) {
  Sandbox sandbox;
  const ProcessResult result =
      extractWhile(sandbox,
                   "mkdir -p $ROOT/elsewhere && mv $ROOT/out $ROOT/moved && "
                   "ln -s $ROOT/elsewhere $ROOT/out");
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(treeOf(sandbox.root() / "elsewhere"), Tree{});
  EXPECT_EQ(treeOf(sandbox.root() / "moved").size(), 3u) << "the folder the run opened";
}

TEST(Replace, AnOutputFolderRemovedMidRunStopsTheRun) {
  Sandbox sandbox;
  const ProcessResult result = extractWhile(sandbox, "rm -rf $ROOT/out");
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err, "The output folder " + sandbox.output().string() +
                            " was removed during the run; the run stops here\n");
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

// A large entry interrupted while it is written, by any signal that would end Quarry: never
// left in part under its name, and the run says which signal stopped it.
TEST(Replace, AnInterruptDuringAWriteLeavesNoPartOfTheFile) {
  struct Case {
    const char* signal;  // as kill -s names it
    int status;
  };
  Sandbox sandbox;
  const Bytes huge(300u << 20, 'h');
  sandbox.writeContainer({compressedEntry("huge.bin", huge), storedEntry("after", {})});
  const std::string out = sandbox.output().string();
  for (const Case& c : {Case{"INT", 130}, Case{"QUIT", 131}, Case{"USR1", 138}}) {
    SCOPED_TRACE(c.signal);
    fs::remove_all(sandbox.output());
    // Once the run holds a file below the output folder open (a file without a name, or a
    // temporary), it is writing huge.bin.
    ProcessOptions options;
    options.environment = {
        {DECODER_RUN_VARIABLE, "(until ls -l /proc/$" + std::string(DECODER_PID_VARIABLE) +
                                   "/fd 2>/dev/null | grep -q '" + out + "/' || [ -e " + out +
                                   "/huge.bin ]; do :; done; kill -s " + c.signal + " $" +
                                   DECODER_PID_VARIABLE + ") &"}};
    const ProcessResult result = sandbox.extract(options);
    EXPECT_EQ(result.exitCode, c.status) << result.err;
    const Tree left = treeOf(sandbox.output());
    EXPECT_TRUE(left.empty() || (left.size() == 1 && left.begin()->second == huge))
        << "part of the file was left: " << (left.empty() ? 0 : left.begin()->second.size());
    const std::string name = std::string("SIG") + c.signal;
    EXPECT_TRUE(result.err == "File #0 \"huge.bin\" was interrupted by " + name +
                                  " and its unfinished file removed; the run stops here\n" ||
                result.err == "Interrupted by " + name + "; the run stops here\n")
        << result.err;
  }
}

TEST(Replace, QuarrysOwnOutputIsNeverWrittenOver) {
  Sandbox sandbox;
  fs::create_directories(sandbox.output());
  const fs::path log = sandbox.output() / "log.txt";
  sandbox.writeContainer({storedEntry("log.txt", textBytes("overwritten")),
                          storedEntry("after.txt", textBytes("fine"))});
  ProcessOptions options;
  options.outFile = log.string();
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "File #0 \"log.txt\" is refused: " + log.string() +
                            " is where Quarry's own output goes\n");
  EXPECT_EQ(readBytes(log), textBytes("Found 2 files, extracting...\n"));
}

// Killed at any instant, a run leaves under every name nothing, the old file or the whole new
// one, and no temporary where the system can make files without a name; a later run that
// keeps existing files keeps only whole ones.
TEST(Replace, AKilledRunLeavesEveryFileWholeOrNotAtAll) {
  Sandbox sandbox;
  const std::uint64_t size = 48 << 20;  // a few dozen milliseconds of copying each
  const Bytes old = textBytes("the old content");
  sandbox.writeContainer(
      {storedEntry("a/new.bin", Bytes(size, 'n')), storedEntry("a/old.bin", Bytes(size, 'r'))});
  for (const char* delay : {"0", "0.003", "0.008", "0.015", "0.025", "0.04", "0.06", "0.1"}) {
    SCOPED_TRACE(delay);
    fs::remove_all(sandbox.output());
    fs::create_directories(sandbox.output() / "a");
    writeBytes(sandbox.output() / "a" / "old.bin", old);
    const std::string run =
        "\"$0\" \"$1\" \"$2\" >/dev/null & sleep " + std::string(delay) + "; kill -KILL $!; wait";
    runProcess("/bin/sh", {"-c", run, sandbox.program().string(), sandbox.container().string(),
                           sandbox.output().string()});
    // A torn file is shorter than the entry: sizes tell. Temporaries stay only where files
    // cannot be made without a name.
    int temporaries = 0;
    for (const auto& item : fs::recursive_directory_iterator(sandbox.output())) {
      if (!item.is_regular_file()) continue;
      const std::string name = fs::relative(item.path(), sandbox.output()).generic_string();
      const std::uint64_t found = item.file_size();
      if (name != "a/new.bin" && name != "a/old.bin") {
        ++temporaries;
        continue;
      }
      const bool whole = found == size || (name == "a/old.bin" && found == old.size());
      EXPECT_TRUE(whole) << name << " holds " << found << " bytes";
    }
#ifdef QUARRY_LINUX
    EXPECT_EQ(temporaries, 0);
#endif
    EXPECT_TRUE(fs::exists(sandbox.output() / "a" / "old.bin"));
    const ProcessResult kept =
        sandbox.run({"--keep-existing", sandbox.container().string(), sandbox.output().string()});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_EQ(fs::file_size(sandbox.output() / "a" / "new.bin"), size);
    if (temporaries > 0) {  // the killed run's, removed by the next one that went through
      EXPECT_NE(kept.out.find("Removed " + std::to_string(temporaries) + " unfinished file"),
                std::string::npos)
          << kept.out;
    }
    const auto files = fs::recursive_directory_iterator(sandbox.output());
    EXPECT_EQ(std::count_if(fs::begin(files), fs::end(files),
                            [](const auto& item) { return item.is_regular_file(); }),
              2);
  }
}

TEST(Replace, AFewDescriptorsServeAnyDepth) {
  Sandbox sandbox;
  std::string deep;
  for (int level = 0; level < 60; ++level) deep += "level" + std::to_string(level) + "/";
  sandbox.writeContainer({storedEntry(deep + "a", textBytes("a")), storedEntry("top", {}),
                          compressedEntry(deep + "b", Bytes(300, 'b'))});
  ProcessOptions options;
  options.descriptorLimit = 24;
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(treeOf(sandbox.output()).size(), 3u);
}
#endif

// A temporary named for a process that no longer runs is what a killed run left: the next run
// into the folder removes it, says so, and leaves everything else.
TEST(Replace, AKilledRunsTemporariesAreRemovedByTheNextRun) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("d/f", textBytes("f"))});
  fs::create_directories(sandbox.output() / "d");
  for (const char* name : {".quarry-4000000000-1.part", "d/.quarry-4000000001-9.part"}) {
    writeBytes(sandbox.output() / name, Bytes(1000, 't'));
  }
  writeBytes(sandbox.output() / "d" / "mine.part", textBytes("mine"));
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out,
            "Found 1 files, extracting...\n"
            "Removed 2 unfinished files that a killed run had left\n");
  EXPECT_EQ(treeOf(sandbox.output()),
            (Tree{{"d/f", textBytes("f")}, {"d/mine.part", textBytes("mine")}}));
}

#ifdef _WIN32
// \\?\ is how users reach long paths without the system's long-path setting.
TEST(Replace, AnOutputFolderWithTheLongPathPrefixTakesNestedEntries) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("a/b/c.txt", textBytes("nested")),
                          storedEntry("a\\d.txt", textBytes("backslashed")),
                          storedEntry("COM0", textBytes("a device")),
                          storedEntry("x/lpt0.txt", textBytes("a device"))});
  const std::string folder = "\\\\?\\" + fs::absolute(sandbox.output()).string();
  const ProcessResult result = sandbox.run({sandbox.container().string(), folder});
  EXPECT_EQ(result.exitCode, 1);
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 2u) << result.err;
  EXPECT_EQ(lines[0], "File #2 \"COM0\" is refused: its name has a reserved device name");
  EXPECT_EQ(lines[1], "File #3 \"x/lpt0.txt\" is refused: its name has a reserved device name");
  EXPECT_EQ(treeOf(sandbox.output()),
            (Tree{{"a/b/c.txt", textBytes("nested")}, {"a/d.txt", textBytes("backslashed")}}));
}
#endif

TEST(Replace, AnOutputFolderThatCannotBeMadeStopsTheRunWithOneLine) {
  Sandbox sandbox;
  writeBytes(sandbox.output(), textBytes("a file"));
  std::vector<ContainerEntry> entries;
  for (int k = 0; k < 50; ++k) entries.push_back(storedEntry("d/" + std::to_string(k), {}));
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 2);
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_EQ(lines[0].rfind("Cannot use the output folder " + sandbox.output().string() + ": ", 0),
            0u)
      << lines[0];
  EXPECT_EQ(readBytes(sandbox.output()), textBytes("a file"));
}

}  // namespace
}  // namespace quarry::testing
