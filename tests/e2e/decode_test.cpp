// Compressed entries through the test decoder beside the program: the call contract, the
// failures, and a whole random tree that must come back identical.
#include <gtest/gtest.h>

#include <csignal>
#include <random>

#include "e2e/sandbox.h"
#include "support/decoder_log.h"

namespace quarry::testing {
namespace {

Bytes pattern(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  const std::string words[] = {"alpha ", "beta ", "gamma ", "delta "};
  for (std::size_t k = 0; k < size;) {
    for (char c : words[random() % 4]) {
      if (k < size) bytes[k++] = static_cast<std::uint8_t>(c);
    }
  }
  return bytes;
}

struct LoggedRun {
  ProcessResult result;
  std::vector<DecoderCall> calls;
};

LoggedRun extractLogged(const Sandbox& sandbox, const std::string& skew = "") {
  const fs::path log = sandbox.root() / "decoder.log";
  ProcessOptions options;
  options.environment = {{DECODER_LOG_VARIABLE, log.string()}, {DECODER_SKEW_VARIABLE, skew}};
  LoggedRun run{sandbox.extract(options), {}};
  run.calls = readDecoderLog(log);
  return run;
}

class DecodeWith : public ::testing::TestWithParam<DecoderBuild> {};

INSTANTIATE_TEST_SUITE_P(Decoders, DecodeWith, ::testing::ValuesIn(DECODERS),
                         [](const ::testing::TestParamInfo<DecoderBuild>& info) {
                           return std::string(info.param.name);
                         });

TEST_P(DecodeWith, WithTheLibraryOneArgumentGivesTheUsage) {
  Sandbox sandbox(GetParam().file);
  const ProcessResult result = sandbox.run({"only-one"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err, USAGE_TEXT);
}

TEST(Decode, AFailedEntryIsReportedAndTheOthersAreWritten) {
  Sandbox sandbox;
  ContainerEntry broken = compressedEntry("b.txt", pattern(3000, 2));
  broken.stored.resize(broken.stored.size() / 2);  // a truncated stream decodes short
  sandbox.writeContainer({compressedEntry("a.txt", pattern(5000, 1)), broken,
                          compressedEntry("c.txt", pattern(7000, 3))});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.exitCode, 1);
  EXPECT_EQ(run.result.out, "Found 3 files, extracting...\n");
  EXPECT_EQ(run.result.err, "File #1 failed decompression :(\n");
  EXPECT_EQ(treeOf(sandbox.output()),
            (Tree{{"a.txt", pattern(5000, 1)}, {"c.txt", pattern(7000, 3)}}));
  ASSERT_EQ(run.calls.size(), 3u);
  EXPECT_FALSE(run.calls[1].refused) << "the program called with the ten zeros";
}

TEST_P(DecodeWith, TheFirstEntryIsNumberZero) {
  Sandbox sandbox(GetParam().file);
  ContainerEntry broken = compressedEntry("a/x.txt", pattern(100, 4));
  broken.fullSize += 1;
  sandbox.writeContainer({broken});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.err, "File #0 failed decompression :(\n");
  EXPECT_EQ(run.result.exitCode, 1);
}

TEST(Decode, StoredEntriesAreWrittenVerbatimWithoutACall) {
  Sandbox sandbox;
  const Bytes withPrefix = textBytes("PREFIX-12by!then the content");
  sandbox.writeContainer({storedEntry("flagged.dat", withPrefix, 4)});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"flagged.dat", withPrefix}}));
  EXPECT_TRUE(run.calls.empty());
}

TEST(Decode, EmptyContentCallsWithANullBufferAndExpectsZero) {
  Sandbox sandbox;
  ContainerEntry empty = compressedEntry("empty.dat", {});
  empty.stored = textBytes("junk");
  sandbox.writeContainer({empty});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
  ASSERT_EQ(run.calls.size(), 1u);
  EXPECT_FALSE(run.calls[0].outputSet);
  EXPECT_EQ(run.calls[0].expectedSize, 0);
  EXPECT_EQ(run.calls[0].compressedSize, 4);
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"empty.dat", {}}}));
}

TEST_P(DecodeWith, AnAnswerOtherThanTheFullSizeLeavesNoFileButKeepsTheDirectories) {
  for (const char* skew : {"-1", "+1"}) {
    SCOPED_TRACE(skew);
    Sandbox sandbox(GetParam().file);
    fs::create_directories(sandbox.output() / "d");
    writeBytes(sandbox.output() / "d" / "kept.txt", textBytes("untouched"));
    sandbox.writeContainer({compressedEntry("d/kept.txt", pattern(900, 5)),
                            compressedEntry("new/sub/file.txt", pattern(800, 6))});
    const LoggedRun run = extractLogged(sandbox, skew);
    EXPECT_EQ(run.result.exitCode, 1);
    EXPECT_EQ(run.result.err, "File #0 failed decompression :(\nFile #1 failed decompression :(\n");
    EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"d/kept.txt", textBytes("untouched")}}));
    EXPECT_TRUE(fs::is_directory(sandbox.output() / "new" / "sub"));
  }
}

TEST(Decode, PrefixedEntriesDecodeFromTheThirteenthByte) {
  Sandbox sandbox;
  const ContainerEntry prefixed = compressedEntry("p.txt", pattern(4000, 7), true);
  ContainerEntry tooShort = storedEntry("short.txt", textBytes("0123456789a"), 4);
  tooShort.fullSize = 50;  // compressed, prefixed, but shorter than its prefix
  sandbox.writeContainer({prefixed, tooShort});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.exitCode, 1);
  EXPECT_EQ(run.result.err, "File #1 failed decompression :(\n");
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"p.txt", pattern(4000, 7)}}));
  ASSERT_EQ(run.calls.size(), 1u) << "the short entry never reaches the decoder";
  EXPECT_EQ(run.calls[0].compressedSize, static_cast<std::int64_t>(prefixed.stored.size() - 12));
}

TEST_P(DecodeWith, AClaimOfTerabytesFailsThatEntryAlone) {
  Sandbox sandbox(GetParam().file);
  ContainerEntry huge = compressedEntry("huge.bin", pattern(100, 8));
  huge.fullSize = 1ull << 50;
  sandbox.writeContainer({huge, storedEntry("after.txt", textBytes("still here"))});
  const LoggedRun run = extractLogged(sandbox);
  EXPECT_EQ(run.result.exitCode, 1);
  // (The sanitizer build may print a warning of its own before the line.)
  EXPECT_NE(run.result.err.find(
                "File #0 \"huge.bin\" needs 1125899906842624 bytes of memory to decode, which "
                "cannot be had\n"),
            std::string::npos)
      << run.result.err;
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"after.txt", textBytes("still here")}}));
}

struct CrashCase {
  const char* name;
  const char* how;       // QUARRY_TEST_DECODER_CRASH's kind
  std::uint32_t signal;  // the signal, or Windows' exception code, that the line names
  bool inLibrary;        // whether the faulting instruction is the library's own
};

void PrintTo(const CrashCase& c, std::ostream* out) {
  *out << c.name;
}

class DecoderCrash : public ::testing::TestWithParam<CrashCase> {};

// The entries before the one being decoded are kept, the one line names the entry and the
// place, and the run ends with the decoder's status: nothing after it is written.
TEST_P(DecoderCrash, StopsTheRunWithOneLineNamingTheEntry) {
  Sandbox sandbox;
  sandbox.writeContainer({compressedEntry("a.txt", pattern(1000, 1)),
                          compressedEntry("b.txt", pattern(2000, 2)),
                          compressedEntry("c.txt", pattern(3000, 3))});
  ProcessOptions options;
  options.environment = {{DECODER_CRASH_VARIABLE, std::string(GetParam().how) + ":2000"}};
  const ProcessResult result = sandbox.extract(options);
  EXPECT_EQ(result.exitCode, STATUS_NO_DECODER) << result.err;
  EXPECT_EQ(result.out, "Found 3 files, extracting...\n");
  const DecoderFault fault{static_cast<int>(GetParam().signal), {0, GetParam().inLibrary}, ""};
  const std::string start = decoderStopLine(1, "b.txt", fault);
  EXPECT_EQ(result.err.rfind(start, 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - 2), ")\n") << result.err;
  EXPECT_EQ(treeOf(sandbox.output()), (Tree{{"a.txt", pattern(1000, 1)}}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DecoderCrash,
                         ::testing::Values(
#ifdef _WIN32
                             CrashCase{"BadAccess", "segv", 0xC0000005, true},
                             CrashCase{"IllegalInstruction", "ill", 0xC000001D, true},
                             CrashCase{"DivisionByZero", "fpe", 0xC0000094, true}
#else
        CrashCase{"BadAccess", "segv", SIGSEGV, true},
        CrashCase{"Abort", "abort", SIGABRT, false},
        CrashCase{"IllegalInstruction", "ill", SIGILL, true},
        CrashCase{"DivisionByZero", "fpe", SIGFPE, true},
        CrashCase{"StackOverflow", "stack", SIGSEGV, true}
#endif
                             ),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_P(DecodeWith, ARandomTreeOfThousandsOfEntriesComesBackIdentical) {
  Sandbox sandbox(GetParam().file);
  std::mt19937 random(20261207);
  Tree source;
  std::vector<ContainerEntry> entries;
  for (int k = 0; k < 3000; ++k) {
    std::string name;
    for (unsigned depth = random() % 4; depth > 0; --depth)
      name += "d" + std::to_string(random() % 12) + "/";
    name += "f" + std::to_string(k) + ".bin";
    const Bytes content = random() % 5 == 0
                              ? Bytes(random() % 300, static_cast<std::uint8_t>(k))
                              : pattern(random() % 6000, static_cast<std::uint32_t>(k));
    source[name] = content;
    const int kind = static_cast<int>(random() % 3);
    entries.push_back(kind == 0 ? storedEntry(name, content)
                                : compressedEntry(name, content, kind == 2));
  }
  sandbox.writeContainer(entries, {.indexWordCount = 2, .gap = 1});
  const ProcessResult result = sandbox.extract();
  EXPECT_EQ(result.exitCode, 0) << result.err.substr(0, 2000);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(treeOf(sandbox.output()) == source);
}

}  // namespace
}  // namespace quarry::testing
