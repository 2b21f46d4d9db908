// Holds the built test decoder library to the contract that the program's tests lean on: it
// decodes the test codec behind the closed library's entry point, refuses calls the program
// must never make, and obeys its controls and records every call as decoder_log.h describes.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "support/decoder_log.h"
#include "support/test_codec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace quarry::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using quarry::DecompressFn;

constexpr std::uint8_t UNTOUCHED = 0xCD;

#ifdef _WIN32
DecompressFn loadEntryPoint() {
  const HMODULE library = LoadLibraryA(QUARRY_TEST_DECODER_FILE);
  if (library == nullptr) return nullptr;
  // Through a plain function pointer type: GetProcAddress's own type has no parameters.
  return reinterpret_cast<DecompressFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, "OodleLZ_Decompress")));
}

void setVariable(const char* name, const std::optional<std::string>& value) {
  SetEnvironmentVariableA(name, value ? value->c_str() : nullptr);
}
#else
DecompressFn loadEntryPoint() {
  void* library = dlopen(QUARRY_TEST_DECODER_FILE, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<DecompressFn>(dlsym(library, "OodleLZ_Decompress"));
}

void setVariable(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}
#endif

DecompressFn entryPoint() {
  static const DecompressFn loaded = loadEntryPoint();
  return loaded;
}

// Every argument of one call; the defaults are those of a sound call.
struct Arguments {
  const std::uint8_t* compressed = nullptr;
  std::int64_t compressedSize = 0;
  std::uint8_t* output = nullptr;
  std::int64_t expectedSize = 0;
  std::int32_t a5 = 0, a6 = 0, a7 = 0;
  std::int64_t a8 = 0, a9 = 0, a10 = 0, a11 = 0, a12 = 0, a13 = 0;
  std::int32_t a14 = 0;
};

std::int64_t callDecoder(const Arguments& a) {
  return entryPoint()(a.compressed, a.compressedSize, a.output, a.expectedSize, a.a5, a.a6, a.a7,
                      a.a8, a.a9, a.a10, a.a11, a.a12, a.a13, a.a14);
}

Bytes sampleContent() {
  Bytes content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<std::uint8_t>(i % 97 + i / 500));
  return content;
}

class DecoderContract : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(entryPoint(), nullptr) << "cannot load " << QUARRY_TEST_DECODER_FILE;
    static std::atomic<int> counter{0};
    folder = std::filesystem::temp_directory_path() /
             ("quarry-decoder-contract-" + std::to_string(counter++) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    logPath = folder / "calls.log";
    setVariable(DECODER_LOG_VARIABLE, logPath.string());
    setVariable(DECODER_SKEW_VARIABLE, std::nullopt);
    content = sampleContent();
    stream = encodeTestCodec(content.data(), content.size());
    output.assign(content.size() + 16, UNTOUCHED);
  }

  void TearDown() override {
    setVariable(DECODER_LOG_VARIABLE, std::nullopt);
    setVariable(DECODER_SKEW_VARIABLE, std::nullopt);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  Arguments soundCall() {
    Arguments a;
    a.compressed = stream.data();
    a.compressedSize = static_cast<std::int64_t>(stream.size());
    a.output = output.data();
    a.expectedSize = static_cast<std::int64_t>(content.size());
    return a;
  }

  bool outputUntouched() const {
    for (const std::uint8_t byte : output) {
      if (byte != UNTOUCHED) return false;
    }
    return true;
  }

  std::filesystem::path folder;
  std::filesystem::path logPath;
  Bytes content;
  Bytes stream;
  Bytes output;
};

TEST_F(DecoderContract, DecodesTheTestCodecAndRecordsTheCall) {
  const Arguments call = soundCall();
  ASSERT_EQ(callDecoder(call), call.expectedSize);

  EXPECT_EQ(Bytes(output.begin(), output.begin() + call.expectedSize), content);
  EXPECT_TRUE(std::all_of(output.begin() + call.expectedSize, output.end(), [](std::uint8_t byte) {
    return byte == UNTOUCHED;
  })) << "wrote past the expected size";
  const DecoderCall recorded{
      false, call.compressedSize, true, call.expectedSize, call.expectedSize, call.expectedSize};
  EXPECT_EQ(readDecoderLog(logPath), std::vector<DecoderCall>{recorded});
}

TEST_F(DecoderContract, AppendsOneLinePerCallInOrder) {
  Arguments whole = soundCall();
  Arguments empty;
  ASSERT_EQ(callDecoder(whole), whole.expectedSize);
  ASSERT_EQ(callDecoder(empty), 0);

  const std::vector<DecoderCall> calls = readDecoderLog(logPath);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].compressedSize, whole.compressedSize);
  EXPECT_EQ(calls[1], (DecoderCall{false, 0, false, 0, 0, 0}));
}

TEST_F(DecoderContract, ReportsAShortCountForATruncatedStream) {
  Arguments call = soundCall();
  call.compressedSize -= 10;
  const std::int64_t produced = callDecoder(call);

  EXPECT_GT(produced, 0);
  EXPECT_LT(produced, call.expectedSize);
  const std::vector<DecoderCall> calls = readDecoderLog(logPath);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].produced, produced);
  EXPECT_EQ(calls[0].result, produced);
}

struct RefusedCase {
  const char* name;
  void (*spoil)(Arguments&);
};

// Shown by name in test listings.
void PrintTo(const RefusedCase& c, std::ostream* os) {
  *os << c.name;
}

class DecoderRefusal : public DecoderContract, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(DecoderRefusal, RefusesWithoutWritingAndRecordsTheRefusal) {
  Arguments call = soundCall();
  GetParam().spoil(call);

  EXPECT_EQ(callDecoder(call), -1);
  EXPECT_TRUE(outputUntouched());
  const std::vector<DecoderCall> calls = readDecoderLog(logPath);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (DecoderCall{true, call.compressedSize, call.output != nullptr,
                                   call.expectedSize, 0, -1}));
}

// Values with high bits set, so an argument read at the wrong width or place still shows.
constexpr std::int32_t WIDE32 = INT32_MIN;
constexpr std::int64_t WIDE64 = std::int64_t{1} << 40;

INSTANTIATE_TEST_SUITE_P(
    TrailingArgumentsAndSizes, DecoderRefusal,
    ::testing::Values(
        RefusedCase{"a5", [](Arguments& a) { a.a5 = 1; }},
        RefusedCase{"a6", [](Arguments& a) { a.a6 = WIDE32; }},
        RefusedCase{"a7", [](Arguments& a) { a.a7 = -1; }},
        RefusedCase{"a8", [](Arguments& a) { a.a8 = WIDE64; }},
        RefusedCase{"a9", [](Arguments& a) { a.a9 = 1; }},
        RefusedCase{"a10", [](Arguments& a) { a.a10 = WIDE64; }},
        RefusedCase{"a11", [](Arguments& a) { a.a11 = -1; }},
        RefusedCase{"a12", [](Arguments& a) { a.a12 = WIDE64; }},
        RefusedCase{"a13", [](Arguments& a) { a.a13 = 1; }},
        RefusedCase{"a14", [](Arguments& a) { a.a14 = WIDE32; }},
        RefusedCase{"negativeCompressedSize", [](Arguments& a) { a.compressedSize = -1; }},
        RefusedCase{"negativeExpectedSize", [](Arguments& a) { a.expectedSize = -5; }},
        RefusedCase{"nullOutputWithExpectedBytes", [](Arguments& a) { a.output = nullptr; }},
        RefusedCase{"nullStreamWithLength", [](Arguments& a) { a.compressed = nullptr; }}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(DecoderContract, AcceptsANullOutputWhenNothingIsExpected) {
  Arguments call = soundCall();
  call.output = nullptr;
  call.expectedSize = 0;

  EXPECT_EQ(callDecoder(call), 0);
  EXPECT_EQ(readDecoderLog(logPath),
            std::vector<DecoderCall>{(DecoderCall{false, call.compressedSize, false, 0, 0, 0})});
}

TEST_F(DecoderContract, FailsTheCallWhenTheLogCannotBeWritten) {
  setVariable(DECODER_LOG_VARIABLE, (folder / "missing-folder" / "calls.log").string());

  EXPECT_EQ(callDecoder(soundCall()), -1);
  EXPECT_TRUE(outputUntouched());
}

struct SkewCase {
  const char* name;
  const char* skew;
  std::optional<std::int64_t> added;  // nullopt: the call is refused
};

// Shown by name in test listings.
void PrintTo(const SkewCase& c, std::ostream* os) {
  *os << c.name;
}

class DecoderSkew : public DecoderContract, public ::testing::WithParamInterface<SkewCase> {};

TEST_P(DecoderSkew, AddsTheSkewToTheReportedCountOnly) {
  setVariable(DECODER_SKEW_VARIABLE, std::string(GetParam().skew));
  const Arguments call = soundCall();
  const std::int64_t result = callDecoder(call);

  const std::vector<DecoderCall> calls = readDecoderLog(logPath);
  ASSERT_EQ(calls.size(), 1u);
  if (!GetParam().added) {
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(calls[0].refused);
    EXPECT_TRUE(outputUntouched());
    return;
  }
  EXPECT_EQ(result, call.expectedSize + *GetParam().added);
  EXPECT_EQ(calls[0].produced, call.expectedSize);
  EXPECT_EQ(calls[0].result, result);
  EXPECT_EQ(Bytes(output.begin(), output.begin() + call.expectedSize), content);
}

INSTANTIATE_TEST_SUITE_P(Values, DecoderSkew,
                         ::testing::Values(SkewCase{"minusOne", "-1", -1},
                                           SkewCase{"plusOne", "+1", 1}, SkewCase{"bare", "7", 7},
                                           SkewCase{"empty", "", 0},
                                           SkewCase{"word", "abc", std::nullopt},
                                           SkewCase{"fraction", "1.5", std::nullopt},
                                           SkewCase{"leadingSpace", " 1", std::nullopt},
                                           SkewCase{"doubleSign", "+-1", std::nullopt}),
                         [](const ::testing::TestParamInfo<SkewCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace quarry::testing
