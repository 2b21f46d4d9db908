#include "support/test_codec.h"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/decoder_log.h"

namespace quarry::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t GUARD = 0xCD;
constexpr std::size_t GUARD_SIZE = 64;

Bytes randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(generator());
  return bytes;
}

// A random block, then its first repeatLength bytes again, distance bytes after their start.
Bytes blockThenRepeat(std::size_t distance, std::size_t repeatLength) {
  Bytes bytes = randomBytes(distance, static_cast<std::uint32_t>(distance + repeatLength));
  const Bytes head(bytes.begin(), bytes.begin() + std::min(distance, repeatLength));
  for (std::size_t i = 0; i < repeatLength; ++i) bytes.push_back(head[i % head.size()]);
  return bytes;
}

Bytes repeatedText(std::size_t size) {
  const std::string line = "quarry entry textures/rock_01.dds flags=4 size=1024\n";
  Bytes bytes;
  while (bytes.size() < size)
    bytes.push_back(static_cast<std::uint8_t>(line[bytes.size() % line.size()]));
  return bytes;
}

struct Decoded {
  Bytes output;
  bool guardIntact = true;
};

// Decodes from an exactly sized copy of the stream, so the sanitizers catch a read past its
// end, into capacity bytes followed by a guard that must stay untouched.
Decoded decode(const Bytes& stream, std::size_t capacity) {
  const Bytes exactStream(stream);
  Bytes out(capacity + GUARD_SIZE, GUARD);
  const std::uint64_t produced =
      decodeTestCodec(exactStream.data(), exactStream.size(), out.data(), capacity);
  Decoded decoded;
  decoded.guardIntact = std::all_of(out.begin() + capacity, out.end(),
                                    [](std::uint8_t byte) { return byte == GUARD; });
  decoded.output.assign(out.begin(), out.begin() + std::min<std::uint64_t>(produced, capacity));
  EXPECT_LE(produced, capacity);
  return decoded;
}

struct RoundTripCase {
  const char* name;
  std::function<Bytes()> content;
};

// Shown by name in test listings.
void PrintTo(const RoundTripCase& c, std::ostream* os) {
  *os << c.name;
}

class TestCodecRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(TestCodecRoundTrip, DecodesWhatWasEncoded) {
  const Bytes content = GetParam().content();
  const Bytes stream = encodeTestCodec(content.data(), content.size());

  const Decoded exact = decode(stream, content.size());
  EXPECT_TRUE(exact.guardIntact);
  EXPECT_EQ(exact.output, content);
  // With room to spare the stream simply runs out: nothing is made up past its end.
  EXPECT_EQ(decode(stream, content.size() + 100).output, content);
}

TEST_P(TestCodecRoundTrip, IgnoresBytesAfterTheStreamOnceTheOutputIsFull) {
  const Bytes content = GetParam().content();
  Bytes stream = encodeTestCodec(content.data(), content.size());
  stream.insert(stream.end(), {0x00, 0x41, 0x80, 0xFF, 0xFF});

  EXPECT_EQ(decode(stream, content.size()).output, content);
}

TEST_P(TestCodecRoundTrip, GrowsByNoMoreThanOneControlByteInEveryLiteralRun) {
  const Bytes content = GetParam().content();
  const Bytes stream = encodeTestCodec(content.data(), content.size());

  EXPECT_LE(stream.size(),
            content.size() + (content.size() + CODEC_MAX_LITERAL_RUN - 1) / CODEC_MAX_LITERAL_RUN);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, TestCodecRoundTrip,
    ::testing::Values(
        RoundTripCase{"empty", [] { return Bytes{}; }},
        RoundTripCase{"oneByte", [] { return Bytes{0x42}; }},
        RoundTripCase{"shorterThanAMatch",
                      [] {
                        return Bytes{1, 1, 1};
                      }},
        RoundTripCase{"exactlyAMatchTwice", [] { return Bytes{1, 2, 3, 4, 1, 2, 3, 4}; }},
        RoundTripCase{"literalRunLimitLess1", [] { return randomBytes(127, 1); }},
        RoundTripCase{"literalRunLimit", [] { return randomBytes(128, 2); }},
        RoundTripCase{"literalRunLimitPlus1", [] { return randomBytes(129, 3); }},
        RoundTripCase{"twoLiteralRunsPlus1", [] { return randomBytes(257, 4); }},
        RoundTripCase{"randomIncompressible", [] { return randomBytes(200000, 5); }},
        RoundTripCase{"zeros", [] { return Bytes(1 << 20, 0); }},
        RoundTripCase{"repeatedText", [] { return repeatedText(300000); }},
        RoundTripCase{"matchShorterThanMinimum", [] { return blockThenRepeat(300, 3); }},
        RoundTripCase{"matchOfMinimum", [] { return blockThenRepeat(300, 4); }},
        RoundTripCase{"longestShortMatch",
                      [] { return blockThenRepeat(300, CODEC_MAX_SHORT_MATCH); }},
        RoundTripCase{"firstExtendedMatch",
                      [] { return blockThenRepeat(300, CODEC_MAX_SHORT_MATCH + 1); }},
        RoundTripCase{"extensionByteFull",
                      [] { return blockThenRepeat(300, CODEC_MAX_SHORT_MATCH + 1 + 254); }},
        RoundTripCase{"extensionByteContinues",
                      [] { return blockThenRepeat(300, CODEC_MAX_SHORT_MATCH + 1 + 255); }},
        RoundTripCase{"twoExtensionBytesFull",
                      [] { return blockThenRepeat(300, CODEC_MAX_SHORT_MATCH + 1 + 510); }},
        RoundTripCase{"overlappingMatchLongerThanDistance",
                      [] { return blockThenRepeat(5, 5000); }},
        RoundTripCase{"farthestDistanceLess1",
                      [] { return blockThenRepeat(CODEC_MAX_DISTANCE - 1, 100); }},
        RoundTripCase{"farthestDistance", [] { return blockThenRepeat(CODEC_MAX_DISTANCE, 100); }},
        RoundTripCase{"beyondFarthestDistance",
                      [] { return blockThenRepeat(CODEC_MAX_DISTANCE + 1, 100); }}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

struct CompressionCase {
  const char* name;
  std::function<Bytes()> content;
  double largestRatio;  // stream size over content size
};

// Shown by name in test listings.
void PrintTo(const CompressionCase& c, std::ostream* os) {
  *os << c.name;
}

class TestCodecCompression : public ::testing::TestWithParam<CompressionCase> {};

TEST_P(TestCodecCompression, ShrinksRepetitiveData) {
  const Bytes content = GetParam().content();
  const Bytes stream = encodeTestCodec(content.data(), content.size());

  EXPECT_LT(static_cast<double>(stream.size()), GetParam().largestRatio * content.size())
      << stream.size() << " of " << content.size();
}

INSTANTIATE_TEST_SUITE_P(
    Contents, TestCodecCompression,
    ::testing::Values(
        CompressionCase{"zeros", [] { return Bytes(1 << 20, 0); }, 0.01},
        CompressionCase{"repeatedText", [] { return repeatedText(100000); }, 0.05},
        CompressionCase{"randomBlockRepeated", [] { return blockThenRepeat(4096, 60000); }, 0.1},
        CompressionCase{"repeatAtFarthestDistance",
                        [] { return blockThenRepeat(CODEC_MAX_DISTANCE, CODEC_MAX_DISTANCE); },
                        0.55}),
    [](const ::testing::TestParamInfo<CompressionCase>& info) { return info.param.name; });

struct StreamCase {
  const char* name;
  Bytes stream;
  std::size_t capacity;
  std::string expected;
};

// Shown by name in test listings.
void PrintTo(const StreamCase& c, std::ostream* os) {
  *os << c.name;
}

class TestCodecDecoder : public ::testing::TestWithParam<StreamCase> {};

TEST_P(TestCodecDecoder, ProducesExactlyTheSoundPrefix) {
  const Decoded decoded = decode(GetParam().stream, GetParam().capacity);

  EXPECT_TRUE(decoded.guardIntact);
  EXPECT_EQ(std::string(decoded.output.begin(), decoded.output.end()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    HandBuiltStreams, TestCodecDecoder,
    ::testing::Values(
        StreamCase{"emptyStream", {}, 10, ""},
        StreamCase{"literalRun", {0x02, 'a', 'b', 'c'}, 10, "abc"},
        StreamCase{"matchRepeatsOneByte", {0x00, 'a', 0x82, 1, 0}, 10, "aaaaaaa"},
        StreamCase{"matchRepeatsAPattern", {0x02, 'a', 'b', 'c', 0x82, 3, 0}, 20, "abcabcabc"},
        StreamCase{"extendedLength", {0x00, 'x', 0xFF, 1, 0, 0x01}, 500, std::string(133, 'x')},
        StreamCase{"extendedLengthContinues",
                   {0x00, 'x', 0xFF, 1, 0, 0xFF, 0x00},
                   500,
                   std::string(387, 'x')},
        StreamCase{"literalRunCutShort", {0x05, 'a', 'b'}, 10, "ab"},
        StreamCase{"literalControlAtTheEnd", {0x00, 'a', 0x03}, 10, "a"},
        StreamCase{"matchWithoutDistance", {0x00, 'a', 0x80}, 10, "a"},
        StreamCase{"matchWithHalfADistance", {0x00, 'a', 0x80, 1}, 10, "a"},
        StreamCase{"extensionMissing", {0x00, 'a', 0xFF, 1, 0}, 500, "a"},
        StreamCase{"extensionContinuationMissing", {0x00, 'a', 0xFF, 1, 0, 0xFF}, 500, "a"},
        StreamCase{"distanceZero", {0x00, 'a', 0x80, 0, 0}, 10, "a"},
        StreamCase{"distanceBeforeTheOutput", {0x00, 'a', 0x80, 2, 0}, 10, "a"},
        StreamCase{"farDistanceBeforeTheOutput", {0x00, 'a', 0x80, 0xFF, 0xFF}, 10, "a"},
        StreamCase{"matchFirst", {0x80, 1, 0, 0x00, 'a'}, 10, ""},
        StreamCase{"tokensAfterAFaultIgnored", {0x00, 'a', 0x80, 5, 0, 0x00, 'b'}, 10, "a"},
        StreamCase{"capacityCutsALiteralRun", {0x03, 'a', 'b', 'c', 'd'}, 2, "ab"},
        StreamCase{"capacityCutsAMatch", {0x00, 'a', 0x85, 1, 0}, 4, "aaaa"},
        StreamCase{"nothingReadOnceFull", {0x00, 'a', 0x80, 9, 0}, 1, "a"},
        StreamCase{"noCapacity", {0x00, 'a'}, 0, ""}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST(TestCodecTruncation, EveryCutStreamYieldsAShortCorrectPrefix) {
  Bytes content = repeatedText(3000);
  const Bytes noise = randomBytes(700, 9);
  content.insert(content.begin() + 1000, noise.begin(), noise.end());
  const Bytes stream = encodeTestCodec(content.data(), content.size());

  std::size_t previous = 0;
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    const Decoded decoded = decode(Bytes(stream.begin(), stream.begin() + cut), content.size());
    ASSERT_TRUE(decoded.guardIntact) << "cut " << cut;
    ASSERT_LT(decoded.output.size(), content.size()) << "cut " << cut;
    ASSERT_GE(decoded.output.size(), previous) << "cut " << cut;
    ASSERT_TRUE(std::equal(decoded.output.begin(), decoded.output.end(), content.begin()))
        << "cut " << cut;
    previous = decoded.output.size();
  }
}

TEST(TestCodecTruncation, ASmallerOutputGetsTheStartOfTheContent) {
  const Bytes content = repeatedText(5000);
  const Bytes stream = encodeTestCodec(content.data(), content.size());

  for (const std::size_t capacity : {0u, 1u, 52u, 53u, 1000u, 4999u}) {
    const Decoded decoded = decode(stream, capacity);
    EXPECT_TRUE(decoded.guardIntact) << capacity;
    EXPECT_EQ(decoded.output, Bytes(content.begin(), content.begin() + capacity)) << capacity;
  }
}

struct HostileCase {
  const char* name;
  std::function<Bytes(std::mt19937&)> stream;
};

// Shown by name in test listings.
void PrintTo(const HostileCase& c, std::ostream* os) {
  *os << c.name;
}

class TestCodecHostile : public ::testing::TestWithParam<HostileCase> {};

// Whatever the stream, the decoder stays inside both buffers; the sanitize preset checks
// the reads, the guard checks the writes.
TEST_P(TestCodecHostile, NeverLeavesItsBuffers) {
  std::mt19937 generator(1234);
  for (int round = 0; round < 3000; ++round) {
    const Bytes stream = GetParam().stream(generator);
    const std::size_t capacity = generator() % 2048;
    const Decoded decoded = decode(stream, capacity);
    ASSERT_TRUE(decoded.guardIntact) << "round " << round;
  }
}

Bytes randomStream(std::mt19937& generator) {
  const std::size_t size = generator() % 512;
  return randomBytes(size, static_cast<std::uint32_t>(generator()));
}

Bytes matchHeavyStream(std::mt19937& generator) {
  Bytes stream{0x07, 1, 2, 3, 4, 5, 6, 7, 8};
  const std::size_t tokens = generator() % 64;
  for (std::size_t i = 0; i < tokens; ++i) {
    stream.push_back(static_cast<std::uint8_t>(CODEC_MATCH_FLAG | generator()));
    stream.push_back(static_cast<std::uint8_t>(generator() % 16));
    stream.push_back(static_cast<std::uint8_t>(generator() % 4 == 0 ? generator() : 0));
    if (generator() % 2 == 0) stream.push_back(static_cast<std::uint8_t>(generator()));
  }
  return stream;
}

Bytes corruptedValidStream(std::mt19937& generator) {
  const Bytes content = repeatedText(1500);
  Bytes stream = encodeTestCodec(content.data(), content.size());
  const std::size_t flips = 1 + generator() % 8;
  for (std::size_t i = 0; i < flips; ++i) {
    stream[generator() % stream.size()] = static_cast<std::uint8_t>(generator());
  }
  stream.resize(generator() % (stream.size() + 1));
  return stream;
}

INSTANTIATE_TEST_SUITE_P(Streams, TestCodecHostile,
                         ::testing::Values(HostileCase{"random", randomStream},
                                           HostileCase{"matchHeavy", matchHeavyStream},
                                           HostileCase{"corruptedValid", corruptedValidStream}),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                           return info.param.name;
                         });

struct LogLineCase {
  const char* name;
  DecoderCall call;
  std::string line;
};

// Shown by name in test listings.
void PrintTo(const LogLineCase& c, std::ostream* os) {
  *os << c.name;
}

class DecoderLogLine : public ::testing::TestWithParam<LogLineCase> {};

TEST_P(DecoderLogLine, FormatsAndReadsBack) {
  EXPECT_EQ(formatDecoderCall(GetParam().call), GetParam().line);
  EXPECT_EQ(parseDecoderCall(GetParam().line), GetParam().call);
  EXPECT_EQ(parseDecoderCall(GetParam().line + "\r"), GetParam().call);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DecoderLogLine,
    ::testing::Values(
        LogLineCase{"decoded",
                    {false, 120, true, 4096, 4096, 4096},
                    "call=decoded compressed=120 output=set expected=4096 produced=4096 "
                    "result=4096"},
        LogLineCase{"nullOutput",
                    {false, 7, false, 0, 0, 0},
                    "call=decoded compressed=7 output=null expected=0 produced=0 result=0"},
        LogLineCase{"skewed",
                    {false, 3, true, 10, 9, 8},
                    "call=decoded compressed=3 output=set expected=10 produced=9 result=8"},
        LogLineCase{"refused",
                    {true, -1, true, 5000000000, 0, -1},
                    "call=refused compressed=-1 output=set expected=5000000000 produced=0 "
                    "result=-1"}),
    [](const ::testing::TestParamInfo<LogLineCase>& info) { return info.param.name; });

TEST(DecoderLogLine, RejectsWhatItDidNotWrite) {
  const std::string sound = "call=decoded compressed=1 output=set expected=2 produced=2 result=2";
  ASSERT_TRUE(parseDecoderCall(sound));
  for (const std::string& line : {
           std::string(),
           std::string("call=decoded"),
           sound + " ",
           sound + " extra=1",
           std::string("call=done compressed=1 output=set expected=2 produced=2 result=2"),
           std::string("call=decoded compressed=1 output=maybe expected=2 produced=2 result=2"),
           std::string("call=decoded compressed=x output=set expected=2 produced=2 result=2"),
           std::string("call=decoded compressed=1 output=set expected=2 produced=2 result="),
           std::string("call=decoded output=set compressed=1 expected=2 produced=2 result=2"),
           std::string("call=decoded  compressed=1 output=set expected=2 produced=2 result=2"),
           std::string("call=decoded compressed=99999999999999999999 output=set expected=2 "
                       "produced=2 result=2"),
       }) {
    EXPECT_EQ(parseDecoderCall(line), std::nullopt) << line;
  }
}

struct SkewTextCase {
  const char* text;
  std::optional<std::int64_t> skew;
};

// Shown by name in test listings.
void PrintTo(const SkewTextCase& c, std::ostream* os) {
  *os << '"' << (c.text != nullptr ? c.text : "(unset)") << '"';
}

class DecoderSkewText : public ::testing::TestWithParam<SkewTextCase> {};

TEST_P(DecoderSkewText, ReadsOnlyWholeNumbers) {
  EXPECT_EQ(parseDecoderSkew(GetParam().text), GetParam().skew);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecoderSkewText,
    ::testing::Values(SkewTextCase{nullptr, 0}, SkewTextCase{"", 0}, SkewTextCase{"-1", -1},
                      SkewTextCase{"+1", 1}, SkewTextCase{"12", 12}, SkewTextCase{"0", 0},
                      SkewTextCase{"abc", std::nullopt}, SkewTextCase{"1 ", std::nullopt},
                      SkewTextCase{" 1", std::nullopt}, SkewTextCase{"+", std::nullopt},
                      SkewTextCase{"-", std::nullopt}, SkewTextCase{"+-1", std::nullopt},
                      SkewTextCase{"1e3", std::nullopt},
                      SkewTextCase{"99999999999999999999", std::nullopt}));

class DecoderLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path = std::filesystem::temp_directory_path() /
           ("quarry-decoder-log-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log");
    std::filesystem::remove(path);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  std::filesystem::path path;
};

TEST_F(DecoderLogFile, AMissingLogMeansNoCalls) {
  EXPECT_TRUE(readDecoderLog(path).empty());
}

TEST_F(DecoderLogFile, ReadsEveryLineInOrder) {
  const DecoderCall first{false, 10, true, 20, 20, 20};
  const DecoderCall second{true, 0, false, 5, 0, -1};
  write(formatDecoderCall(first) + "\n" + formatDecoderCall(second) + "\r\n");

  EXPECT_EQ(readDecoderLog(path), (std::vector<DecoderCall>{first, second}));
}

TEST_F(DecoderLogFile, ThrowsOnAGarbledLine) {
  write(formatDecoderCall({false, 1, true, 1, 1, 1}) + "\ncall=dec");

  EXPECT_THROW(readDecoderLog(path), std::runtime_error);
}

}  // namespace
}  // namespace quarry::testing
