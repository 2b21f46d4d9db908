// The command line a modder types: every mode and option, run as the program, on both builds.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e/sandbox.h"
#include "support/json_line.h"

namespace quarry::testing {
namespace {

constexpr char USAGE_LINE[] =
    "Usage: quarry [options] <resources file> <output folder> [<pattern>...] (quarry --help for "
    "more)\n";

// A small game's worth of entries: folders, mixed case, both separators, one compressed.
std::vector<ContainerEntry> modEntries() {
  return {storedEntry("textures/wall.DDS", textBytes("wall")),
          storedEntry("textures\\stone\\floor.dds", textBytes("floor")),
          compressedEntry("textures/stone/floor.png", Bytes(3000, 'p')),
          storedEntry("sounds/wind.wav", textBytes("wind")),
          storedEntry("readme.txt", textBytes("read me")),
          storedEntry("rules.txt", textBytes("rules"))};
}

TEST(CommandLine, TheTwoArgumentRunPrintsExactlyWhatItAlwaysHas) {
  Sandbox sandbox;
  auto entries = modEntries();
  entries.push_back(storedEntry("../escape", textBytes("no")));
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "Found 7 files, extracting...\n");
  EXPECT_EQ(result.err, "File #6 \"../escape\" is refused: its name has a '..' component\n");
  EXPECT_EQ(treeOf(sandbox.output()).size(), 6u);
}

TEST(CommandLine, HelpAndVersionNeedNoDecoder) {
  for (const bool withDecoder : {false, true}) {
    SCOPED_TRACE(withDecoder);
    Sandbox sandbox(withDecoder);
    const ProcessResult help = sandbox.run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(startsWith(help.out, "Usage:\n  quarry <resources file> <output folder>\n"))
        << help.out;
    for (const char* option : {"--list", "--json", "--test", "--keep-existing", "--version"}) {
      EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(help.err, "");
    const ProcessResult version = sandbox.run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    const auto lines = linesOf(version.out);
    ASSERT_EQ(lines.size(), 2u) << version.out;
    EXPECT_TRUE(startsWith(lines[0], "Quarry ")) << lines[0];
    if (withDecoder) {
      EXPECT_TRUE(startsWith(lines[1], "Decoder: ")) << lines[1];
      EXPECT_NE(lines[1].find("oo2core_8_win64.dll ("), std::string::npos) << lines[1];
    } else {
      EXPECT_TRUE(startsWith(lines[1], "Decoder: none found")) << lines[1];
    }
  }
}

TEST(CommandLine, AnUnknownOptionIsNamedWithTheUsage) {
  Sandbox sandbox;
  sandbox.writeContainer(modEntries());
  const ProcessResult result =
      sandbox.run({"--frobnicate", sandbox.container().string(), sandbox.output().string()});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err, std::string(USAGE_LINE) + "unknown option \"--frobnicate\"\n");
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

TEST(CommandLine, ALoneDoubleDashEndsTheOptions) {
  Sandbox sandbox;
  writeBytes(sandbox.root() / "--list", buildContainer(modEntries()).bytes);
  ProcessOptions options;
  options.workingDirectory = sandbox.root().string();
  const ProcessResult result = sandbox.run({"--", "--list", "out"}, options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(treeOf(sandbox.output()).size(), 6u);
}

// Patterns pick entries by their whole name; the bar and the summary count what they picked.
struct PatternCase {
  const char* what;
  std::vector<std::string> patterns;
  std::vector<std::string> files;  // what is extracted, with slashes
  std::string err;
};

void PrintTo(const PatternCase& c, std::ostream* out) {
  *out << c.what;
}

class Patterns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(Patterns, ExtractWhatTheyMatch) {
  const PatternCase& c = GetParam();
  Sandbox sandbox;
  sandbox.writeContainer(modEntries());
  std::vector<std::string> arguments = {sandbox.container().string(), sandbox.output().string()};
  arguments.insert(arguments.end(), c.patterns.begin(), c.patterns.end());
  const ProcessResult result = sandbox.run(arguments);
  EXPECT_EQ(result.exitCode, c.err.empty() ? 0 : 1);
  EXPECT_EQ(result.err, c.err);
  std::vector<std::string> files;
  for (const auto& [name, bytes] : treeOf(sandbox.output())) files.push_back(name);
  EXPECT_EQ(files, c.files);
  const auto lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_TRUE(startsWith(lines[1], "Extracted " + std::to_string(c.files.size()) + " file"))
      << lines[1];
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Patterns,
    ::testing::Values(PatternCase{"AnyDepthWithDoubleStar",
                                  {"textures/**/*.dds"},
                                  {"textures/stone/floor.dds", "textures/wall.DDS"},
                                  ""},
                      PatternCase{
                          "BackslashesAndSets",
                          {"textures\\stone\\*.[dp][dn][sg]", "r[!u]*.txt"},
                          {"readme.txt", "textures/stone/floor.dds", "textures/stone/floor.png"},
                          ""},
                      PatternCase{"OneLevelOnly",
                                  {"*.txt", "SOUNDS/?ind.wav"},
                                  {"readme.txt", "rules.txt", "sounds/wind.wav"},
                                  ""},
                      PatternCase{"APatternThatMatchesNothing",
                                  {"*.txt", "music/**"},
                                  {"readme.txt", "rules.txt"},
                                  "no entry matches \"music/**\"\n"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(CommandLine, ListNeedsNoDecoderAndSaysWhatIsDamaged) {
  Sandbox sandbox(false);
  auto entries = modEntries();
  entries.push_back(storedEntry("broken.bin", textBytes("x")));
  entries.back().storedSize = entries.back().fullSize = 1ull << 40;
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.run({"--list", sandbox.container().string()});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_EQ(result.err, "");
  const auto lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), 9u) << result.out;
  EXPECT_EQ(lines[0], "           4            4  stored            textures/wall.DDS");
  EXPECT_TRUE(startsWith(lines[2], "        3000 ")) << lines[2];
  EXPECT_NE(lines[2].find("  compressed        textures/stone/floor.png"), std::string::npos)
      << lines[2];
  EXPECT_NE(lines[6].find("damaged"), std::string::npos) << lines[6];
  EXPECT_NE(lines[6].find("File #6 \"broken.bin\" has stored bytes outside the file"),
            std::string::npos)
      << lines[6];
  EXPECT_TRUE(startsWith(lines[8], "Listed 7 files")) << lines[8];
  EXPECT_NE(lines[8].find("; 1 damaged"), std::string::npos) << lines[8];
  EXPECT_FALSE(fs::exists(sandbox.output()));
}

TEST(CommandLine, JsonListsGiveEveryNameBackExactly) {
  Sandbox sandbox(false);
  auto entries = modEntries();
  entries.push_back(storedEntry("odd\xFF\x1B[31m\"name\".bin", textBytes("odd")));
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.run({"--list", "--json", sandbox.container().string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), entries.size()) << "nothing but one object a line";
  for (std::size_t k = 0; k < lines.size(); ++k) {
    SCOPED_TRACE(lines[k]);
    const auto object = readJsonObject(lines[k]);
    ASSERT_TRUE(object);
    EXPECT_EQ(object->at("index").number, k);
    EXPECT_EQ(object->at("size").number, entries[k].fullSize);
    const bool utf8 = object->count("name_hex") == 0;
    const std::string name =
        utf8 ? object->at("name").text : bytesFromHex(object->at("name_hex").text).value_or("");
    EXPECT_EQ(name, entries[k].name);
  }
  EXPECT_TRUE(startsWith(result.err, "Listed 7 files")) << "the summary stays off the JSON";
}

TEST(CommandLine, KeepExistingLeavesAnEditedFileAlone) {
  Sandbox sandbox;
  sandbox.writeContainer(modEntries());
  fs::create_directories(sandbox.output());
  writeBytes(sandbox.output() / "readme.txt", textBytes("my own edit"));
  const ProcessResult result =
      sandbox.run({"--keep-existing", sandbox.container().string(), sandbox.output().string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readBytes(sandbox.output() / "readme.txt"), textBytes("my own edit"));
  EXPECT_EQ(treeOf(sandbox.output()).size(), 6u);
  const auto lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_TRUE(startsWith(lines[1], "Extracted 5 of 6 files")) << lines[1];
  EXPECT_NE(lines[1].find("; 1 kept"), std::string::npos) << lines[1];
}

TEST(CommandLine, TestDecodesEverythingAndWritesNothing) {
  Sandbox sandbox;
  auto entries = modEntries();
  entries.push_back(compressedEntry("cut.bin", Bytes(5000, 'c')));
  entries.back().stored.resize(entries.back().stored.size() / 2);
  entries.back().storedSize = entries.back().stored.size();
  entries.push_back(storedEntry("../escape", textBytes("no")));
  sandbox.writeContainer(entries);
  const ProcessResult result = sandbox.run({"--test", sandbox.container().string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            "File #6 \"cut.bin\" failed decompression :(\n"
            "File #7 \"../escape\" is refused: its name has a '..' component\n");
  EXPECT_TRUE(startsWith(result.out, "Tested 6 of 8 files")) << result.out;
  EXPECT_NE(result.out.find("; 2 failed"), std::string::npos) << result.out;
  EXPECT_FALSE(fs::exists(sandbox.output()));
  // Without the library, only a container with nothing to decode can be tested.
  Sandbox without(false);
  without.writeContainer(entries);
  const ProcessResult refused = without.run({"--test", without.container().string()});
  EXPECT_EQ(refused.exitCode, without.run({}).exitCode);
  EXPECT_TRUE(startsWith(refused.err, "Please copy oo2core_8_win64.dll")) << refused.err;
  const ProcessResult stored = without.run({"--test", without.container().string(), "*.txt"});
  EXPECT_EQ(stored.exitCode, 0) << stored.err;
}

// A list whose reader goes, whose disk is full or that is interrupted while its reader lags
// ends there: never status 0, one line at most, and a reader gone is no error on POSIX.
TEST(CommandLine, AListEndsWhenItsOutputIsLostOrItIsInterrupted) {
  struct Case {
    const char* what;
    const char* script;  // POSIX: $0 the program, $1 the container, $2 and $3 scratch files
    int status;
    std::string err;  // how the one line starts; empty: no line
  };
  const Case cases[] = {
#ifdef _WIN32
      {"reader gone", nullptr, 1, "Cannot write the list to standard output: "},
#else
      {"reader gone", nullptr, 141, ""},
      {"closed after one line",
       "{ \"$0\" --list \"$1\"; echo $? > \"$2\"; } | head -n 1 > /dev/null; exit $(cat \"$2\")",
       141, ""},
      {"full disk", "exec \"$0\" --list \"$1\" > /dev/full", 1,
       "Cannot write the list to standard output: No space left on device\n"},
      {"SIGTERM into a slow pipe",
       "{ \"$0\" --list \"$1\" & echo $! > \"$3\"; wait $!; echo $? > \"$2\"; } | "
       "{ read -r line; while [ ! -s \"$3\" ]; do :; done; kill -TERM $(cat \"$3\"); "
       "cat > /dev/null; }; exit $(cat \"$2\")",
       143, "Interrupted by SIGTERM; the run stops here\n"},
#endif
  };
  Sandbox sandbox(false);
  std::vector<ContainerEntry> entries;  // a list of a megabyte, far more than a pipe holds
  for (int k = 0; k < 20000; ++k) entries.push_back(storedEntry("d/f" + std::to_string(k), {}));
  sandbox.writeContainer(entries);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessOptions options;
    options.outReaderGone = c.script == nullptr;
    const fs::path scratch = sandbox.root() / "scratch";
    const ProcessResult result =
        c.script == nullptr
            ? sandbox.run({"--list", sandbox.container().string()}, options)
            : runProcess("/bin/sh",
                         {"-c", c.script, sandbox.program().string(), sandbox.container().string(),
                          scratch.string() + ".status", scratch.string() + ".pid"});
    EXPECT_EQ(result.exitCode, c.status) << result.err;
    EXPECT_TRUE(startsWith(result.err, c.err)) << result.err;
    EXPECT_EQ(linesOf(result.err).size(), c.err.empty() ? 0u : 1u) << result.err;
    fs::remove(scratch.string() + ".pid");
  }
}

}  // namespace
}  // namespace quarry::testing
