// The traps a hostile container or an unlucky folder sets, each built in the test's own
// folder: what the run says, its status, and what is left on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include "container/layout.h"
#include "e2e/sandbox.h"
#include "support/decoder_log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace quarry::testing {
namespace {

constexpr char CONTAINER_CHANGED_LINE[] =
    "The resources file was cut short by another program while it was read; the run stops "
    "here\n";

double secondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Safety, TheContainerBeingReadIsNeverWrittenOver) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("test.resources", textBytes("overwritten")),
                          storedEntry("after.txt", textBytes("fine"))});
  const Bytes original = readBytes(sandbox.container());
  // The container's own folder as the output folder, as in "quarry game.resources .".
  const ProcessResult result = sandbox.run({sandbox.container().string(), sandbox.root().string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(readBytes(sandbox.container()), original);
  EXPECT_EQ(readBytes(sandbox.root() / "after.txt"), textBytes("fine"));
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 1u) << result.err;
  EXPECT_TRUE(startsWith(lines[0], "File #0 \"test.resources\" is refused: ")) << lines[0];
  EXPECT_NE(lines[0].find("test.resources is the resources file being extracted"),
            std::string::npos)
      << lines[0];
}

#ifndef _WIN32
TEST(Safety, AHardLinkToTheContainerIsTheContainer) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("alias", textBytes("overwritten"))});
  const Bytes original = readBytes(sandbox.container());
  fs::create_directories(sandbox.output());
  fs::create_hard_link(sandbox.container(), sandbox.output() / "alias");
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(readBytes(sandbox.container()), original);
  EXPECT_NE(result.err.find("is the resources file being extracted"), std::string::npos)
      << result.err;
}
#endif

TEST(Safety, TheDecoderInUseIsNeverWrittenOver) {
  for (const DecoderBuild& build : DECODERS) {
    SCOPED_TRACE(build.name);
    Sandbox sandbox(build.file);
    const fs::path decoder = sandbox.programFolder() / "oo2core_8_win64.dll";
    const Bytes original = readBytes(decoder);
    const Bytes text = textBytes("decoded after the attempt, by the same library");
    sandbox.writeContainer({storedEntry("oo2core_8_win64.dll", textBytes("overwritten")),
                            compressedEntry("after.txt", text)});
    const ProcessResult result =
        sandbox.run({sandbox.container().string(), sandbox.programFolder().string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(readBytes(decoder), original);
    EXPECT_EQ(readBytes(sandbox.programFolder() / "after.txt"), text);
    ASSERT_EQ(linesOf(result.err).size(), 1u) << result.err;
    EXPECT_TRUE(startsWith(result.err, "File #0 \"oo2core_8_win64.dll\" ")) << result.err;
    EXPECT_NE(result.err.find("is the decoder library in use"), std::string::npos) << result.err;
  }
}

#ifndef _WIN32
// Where the bytes lie that the decoder's cut takes away (the test decoder cuts the container
// while decoding entry 0, as another program might).
struct CutCase {
  const char* what;
  std::vector<ContainerEntry> entries;
  ContainerLayout layout;
  std::uint64_t (*cutAt)(const BuiltContainer&);
};

// Bytes that do not compress, so their stream spans many pages.
Bytes noise(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 12345;
  for (std::uint8_t& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

std::uint64_t dataOffsetOf(const BuiltContainer& built, std::size_t index) {
  Bytes record(built.bytes.begin() + static_cast<long>(built.entryTableOffset + ENTRY_SIZE * index),
               built.bytes.end());
  std::uint64_t offset = 0;
  for (int k = 7; k >= 0; --k) offset = offset << 8 | record[ENTRY_DATA_OFFSET + k];
  return offset;
}

TEST(Safety, AContainerCutShortWhileReadEndsTheRunInOrder) {
  const Bytes first = textBytes("decoded before the cut");
  const std::vector<CutCase> cases = {
      {"stored bytes lost",
       {compressedEntry("a.txt", first), storedEntry("b.bin", Bytes(200000, 'b')),
        storedEntry("c.bin", Bytes(10, 'c'))},
       {},
       [](const BuiltContainer& built) { return dataOffsetOf(built, 1); }},
      {"a stream lost",
       {compressedEntry("a.txt", first), compressedEntry("b.bin", noise(300000)),
        storedEntry("c.bin", Bytes(10, 'c'))},
       {},
       [](const BuiltContainer& built) { return dataOffsetOf(built, 1); }},
      {"names lost beyond the last page",
       {compressedEntry("a.txt", first), storedEntry("b.bin", Bytes(10, 'b'))},
       {.order = {Region::Index, Region::Entries, Region::Data, Region::Strings}, .gap = 70000},
       [](const BuiltContainer& built) { return built.stringTableOffset - 60000; }},
      {"names lost within the last page",
       {compressedEntry("a.txt", first), storedEntry("b.bin", Bytes(10, 'b'))},
       {.order = {Region::Index, Region::Entries, Region::Data, Region::Strings}},
       [](const BuiltContainer& built) { return built.stringTableOffset; }},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    const BuiltContainer built = buildContainer(c.entries, c.layout);
    writeBytes(sandbox.container(), built.bytes);
    ProcessOptions options;
    options.environment = {{DECODER_CUT_VARIABLE,
                            std::to_string(c.cutAt(built)) + ":" + sandbox.container().string()}};
    const ProcessResult result = sandbox.extract(options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, CONTAINER_CHANGED_LINE);
    EXPECT_EQ(result.out, "Found " + std::to_string(c.entries.size()) + " files, extracting...\n");
    EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"a.txt", first}}));
  }
}
#endif

// A FIFO, a device or a pipe given as the container: refused at once, never waited on.
TEST(Safety, AContainerThatIsNotARegularFileFailsAtOnce) {
  Sandbox sandbox;
#ifdef _WIN32
  const std::string pipe = "\\\\.\\pipe\\quarry-" + sandbox.root().filename().string();
  HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 0, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const std::vector<std::string> containers = {pipe};
#else
  const std::string fifo = (sandbox.root() / "fifo.resources").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const std::vector<std::string> containers = {fifo, "/dev/null"};
#endif
  for (const std::string& container : containers) {
    SCOPED_TRACE(container);
    ProcessOptions options;
    options.timeoutSeconds = 20;
    const ProcessResult result = sandbox.run({container, sandbox.output().string()}, options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "Unable to open resources file :(\nCannot open " + container +
                              ": not a regular file\n");
    EXPECT_FALSE(fs::exists(sandbox.output()));
  }
#ifdef _WIN32
  CloseHandle(server);
#endif
}

TEST(Safety, NamesTooLongForAPathAreRefusedAtOnce) {
  for (const std::size_t components : {40000, 500000}) {
    SCOPED_TRACE(components);
    Sandbox sandbox;
    std::string name;
    for (std::size_t k = 0; k < components; ++k) name += "a/";
    name += "f";
    std::vector<ContainerEntry> entries(20, storedEntry(name, textBytes("x")));
    entries.push_back(storedEntry("short.txt", textBytes("kept")));
    sandbox.writeContainer(entries);
    ProcessResult result;
    const double seconds = secondsOf([&] { result = sandbox.extract(); });
    EXPECT_LT(seconds, 10.0) << "about 0.01 s natively";
    EXPECT_EQ(result.exitCode, 1);
    const auto lines = linesOf(result.err);
    ASSERT_EQ(lines.size(), 20u);
    for (const std::string& line : lines) {
      EXPECT_LT(line.size(), 400u);
      EXPECT_NE(line.find("is refused: its path would be longer than"), std::string::npos) << line;
    }
    EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"short.txt", textBytes("kept")}}));
  }
}

#ifndef _WIN32
TEST(Safety, DeepNamesCostLinearTimeAndAFailedParentFailsAtOnce) {
  Sandbox sandbox;
  std::string deep;
  for (int k = 0; k < 1000; ++k) deep += "a/";
  std::vector<ContainerEntry> entries;
  for (int k = 0; k < 200; ++k) entries.push_back(storedEntry(deep + std::to_string(k), {}));
  // A file where the chain must continue: every entry below it fails with the same line.
  entries.push_back(storedEntry(deep + "blocker", textBytes("file")));
  for (int k = 0; k < 200; ++k) {
    entries.push_back(storedEntry(deep + "blocker/x/" + std::to_string(k), {}));
  }
  sandbox.writeContainer(entries);
  ProcessResult result;
  const double seconds = secondsOf([&] { result = sandbox.extract(); });
  EXPECT_LT(seconds, 10.0) << "about 0.1 s natively";
  EXPECT_EQ(result.exitCode, 1);
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_NE(lines[0].find("cannot create directory"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].find("\" ")), lines[199].substr(lines[199].find("\" ")));
  // (Counted in the deepest folder alone: walking the whole tree by path is quadratic.)
  const auto files =
      std::distance(fs::directory_iterator(sandbox.output() / deep), fs::directory_iterator());
  EXPECT_EQ(files, 201);
}

TEST(Safety, NothingIsReachedThroughALinkOrOpenedUnlessRegular) {
  Sandbox sandbox;
  const fs::path elsewhere = sandbox.root() / "elsewhere";
  fs::create_directories(elsewhere);
  writeBytes(elsewhere / "file", textBytes("the user's own"));
  fs::create_directories(sandbox.output() / "dir");
  fs::create_directory_symlink(elsewhere, sandbox.output() / "link");
  fs::create_symlink(elsewhere / "file", sandbox.output() / "victim");
  fs::create_symlink(elsewhere / "new", sandbox.output() / "dangling");
  fs::create_directory_symlink(elsewhere, sandbox.output() / "dir" / "inner");
  ASSERT_EQ(mkfifo((sandbox.output() / "fifo").c_str(), 0666), 0);
  sandbox.writeContainer(
      {storedEntry("link/x", textBytes("1")), storedEntry("victim", textBytes("2")),
       storedEntry("dangling", textBytes("3")), storedEntry("dir/inner/deeper/x", textBytes("4")),
       storedEntry("fifo", textBytes("5")), storedEntry("good/file.txt", textBytes("6"))});
  ProcessOptions options;
  options.timeoutSeconds = 20;
  const ProcessResult result = sandbox.extract(options);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 1);
  const std::string out = sandbox.output().string();
  EXPECT_EQ(linesOf(result.err),
            (std::vector<std::string>{
                "File #0 \"link/x\" is refused: a link stands in the way at " + out + "/link",
                "File #1 \"victim\" is refused: a link stands in the way at " + out + "/victim",
                "File #2 \"dangling\" is refused: a link stands in the way at " + out + "/dangling",
                "File #3 \"dir/inner/deeper/x\" is refused: a link stands in the way at " + out +
                    "/dir/inner",
                "File #4 \"fifo\" is refused: something other than a regular file stands at " +
                    out + "/fifo"}));
  EXPECT_EQ(treeOf(elsewhere), (Tree{{"file", textBytes("the user's own")}}));
  EXPECT_EQ(readBytes(sandbox.output() / "good" / "file.txt"), textBytes("6"));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(sandbox.output() / "fifo")));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(sandbox.output() / "victim")));
}

TEST(Safety, TheOutputFolderItselfMayBeALink) {
  Sandbox sandbox;
  fs::create_directories(sandbox.root() / "real");
  fs::create_directory_symlink(sandbox.root() / "real", sandbox.root() / "named");
  sandbox.writeContainer({storedEntry("a/b.txt", textBytes("through the user's link"))});
  const ProcessResult result =
      sandbox.run({sandbox.container().string(), (sandbox.root() / "named").string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readBytes(sandbox.root() / "real" / "a" / "b.txt"),
            textBytes("through the user's link"));
}

TEST(Safety, FoldersThatLookLikeWindowsPrefixesArePlainFoldersHere) {
  for (const char* folder : {"x:", "x:/sub", "a\\b", "//double"}) {
    SCOPED_TRACE(folder);
    Sandbox sandbox;
    sandbox.writeContainer({storedEntry("a/b.txt", textBytes("here"))});
    ProcessOptions options;
    options.workingDirectory = sandbox.root().string();
    const std::string given = folder[0] == '/' ? sandbox.root().string() + folder : folder;
    const ProcessResult result = sandbox.run({sandbox.container().string(), given}, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    const fs::path landed = folder[0] == '/' ? fs::path(given) : sandbox.root() / folder;
    EXPECT_EQ(readBytes(landed / "a" / "b.txt"), textBytes("here"));
  }
}

TEST(Safety, TheResourcesPathIsUsedExactlyAsGiven) {
  Sandbox sandbox;
  const fs::path withBackslash = sandbox.root() / "a\\b.res";
  writeBytes(withBackslash, buildContainer({storedEntry("x.txt", textBytes("found"))}).bytes);
  ProcessResult result = sandbox.run({withBackslash.string(), sandbox.output().string()});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(readBytes(sandbox.output() / "x.txt"), textBytes("found"));
  const std::string missing = (sandbox.root() / "c\\d.res").string();
  result = sandbox.run({missing, sandbox.output().string()});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_NE(result.err.find("Cannot open " + missing + ":"), std::string::npos) << result.err;
}

TEST(Safety, AFileSizeLimitFailsTheEntryNotTheRun) {
  Sandbox sandbox;
  sandbox.writeContainer({storedEntry("big.dat", Bytes(200000, 'b')),
                          storedEntry("small.dat", textBytes("fits")),
                          compressedEntry("big-decoded.dat", Bytes(300000, 'd'))});
  ProcessOptions options;
  options.fileSizeLimit = 100000;
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, 1);
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 2u) << result.err;
  EXPECT_TRUE(startsWith(lines[0], "File #0 \"big.dat\" cannot write ")) << lines[0];
  EXPECT_NE(lines[0].find("File too large"), std::string::npos) << lines[0];
  EXPECT_TRUE(startsWith(lines[1], "File #2 \"big-decoded.dat\" cannot write ")) << lines[1];
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"small.dat", textBytes("fits")}}));
}
#endif

TEST(Safety, StreamsWithoutAReaderNeverStopTheExtraction) {
  struct Case {
    const char* what;
    bool outGone;
    bool errGone;
  };
  for (const Case& c : {Case{"standard output", true, false}, Case{"standard error", false, true},
                        Case{"both", true, true}}) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    sandbox.writeContainer({storedEntry("a.txt", textBytes("a")),
                            storedEntry("../refused", textBytes("r")),
                            compressedEntry("b.txt", textBytes("bbbbbbbbbbbbbbbbbbbb"))});
    ProcessOptions options;
    options.outReaderGone = c.outGone;
    options.errReaderGone = c.errGone;
    const ProcessResult result = sandbox.extract(options);
    EXPECT_EQ(result.exitCode, 1) << "the refused entry still counts";
    EXPECT_EQ(treeOf(sandbox.output()),
              (Tree{{"a.txt", textBytes("a")}, {"b.txt", textBytes("bbbbbbbbbbbbbbbbbbbb")}}));
  }
}

TEST(Safety, NamesCannotSteerTheTerminalOrFloodIt) {
  Sandbox sandbox;
  std::vector<ContainerEntry> entries = {storedEntry("../\xC2\x9B"
                                                     "2J\xE2\x80\xAEgnp.exe",
                                                     textBytes("x")),
                                         storedEntry("../\xE2\x81\xA6"
                                                     "a\xE2\x81\xA9\x1B[0m",
                                                     textBytes("x"))};
  const std::string huge = "../" + std::string(1 << 20, 'n');
  for (int k = 0; k < 1000; ++k) entries.push_back(storedEntry(huge, textBytes("x")));
  sandbox.writeContainer(entries);
  ProcessResult result;
  const double seconds = secondsOf([&] { result = sandbox.extract(); });
  EXPECT_LT(seconds, 20.0) << "about 0.3 s natively";
  EXPECT_EQ(result.exitCode, 1);
  const auto lines = linesOf(result.err);
  ASSERT_EQ(lines.size(), 1002u);
  EXPECT_EQ(lines[0],
            "File #0 \"../\\u{009B}2J\\u{202E}gnp.exe\" is refused: its name has a "
            "'..' component");
  EXPECT_EQ(lines[1],
            "File #1 \"../\\u{2066}a\\u{2069}\\x1B[0m\" is refused: its name has a "
            "'..' component");
  EXPECT_LT(result.err.size(), 1002u * 400u);
}

}  // namespace
}  // namespace quarry::testing
