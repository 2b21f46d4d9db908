#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "extract/payload.h"
#include "support/container_writer.h"

namespace quarry {
namespace {

using testing::Bytes;
using testing::textBytes;

// What the fake decoder saw, and what it answers.
struct DecoderCall {
  const std::uint8_t* stream;
  std::int64_t streamLength;
  bool outputNull;
  std::int64_t expected;
  bool zerosElsewhere;
  bool outputZeroed;
};
std::vector<DecoderCall> calls;
std::int64_t answerSkew = 0;

// Copies the stream into the output and answers the bytes copied, plus answerSkew.
std::int64_t fakeDecoder(const std::uint8_t* stream, std::int64_t streamLength,
                         std::uint8_t* output, std::int64_t expected, std::int32_t a5,
                         std::int32_t a6, std::int32_t a7, std::int64_t a8, std::int64_t a9,
                         std::int64_t a10, std::int64_t a11, std::int64_t a12, std::int64_t a13,
                         std::int32_t a14) {
  const bool zeros = (a5 | a6 | a7 | a14) == 0 && (a8 | a9 | a10 | a11 | a12 | a13) == 0;
  bool zeroed = true;
  for (std::int64_t k = 0; k < expected; ++k) zeroed = zeroed && output[k] == 0;
  calls.push_back({stream, streamLength, output == nullptr, expected, zeros, zeroed});
  const std::int64_t copied = std::min(streamLength, expected);
  if (copied > 0) std::memcpy(output, stream, static_cast<std::size_t>(copied));
  return copied + answerSkew;
}

const Decompressor FAKE{fakeDecoder};

#ifdef QUARRY_WINDOWS_LOADER
// The same fake as a Windows library's entry point would be built: Microsoft's convention.
__attribute__((ms_abi)) std::int64_t windowsFakeDecoder(
    const std::uint8_t* stream, std::int64_t streamLength, std::uint8_t* output,
    std::int64_t expected, std::int32_t a5, std::int32_t a6, std::int32_t a7, std::int64_t a8,
    std::int64_t a9, std::int64_t a10, std::int64_t a11, std::int64_t a12, std::int64_t a13,
    std::int32_t a14) {
  return fakeDecoder(stream, streamLength, output, expected, a5, a6, a7, a8, a9, a10, a11, a12, a13,
                     a14);
}
#endif

// A view over memory: the payload code only needs the container's bytes.
struct MemoryView {
  Bytes bytes = textBytes("PREFIX-12by!stream-bytes");
  ResourceView view;
  MemoryView() { view.tables.bytes = {bytes.data(), bytes.size()}; }
  EntryRef entry(std::uint64_t storedSize, std::uint64_t fullSize, std::uint32_t flags) const {
    return {"name", 4, 0, storedSize, fullSize, flags};
  }
};

class PayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    answerSkew = 0;
  }
  MemoryView memory;
};

TEST_F(PayloadTest, StoredEntriesAreBorrowedWithoutACall) {
  for (std::uint32_t flags : {0u, FLAG_PREFIXED}) {
    const Payload payload = decodePayload(memory.view, memory.entry(24, 24, flags), FAKE);
    EXPECT_FALSE(payload.failed());
    EXPECT_EQ(payload.data, memory.bytes.data()) << "no copy";
    EXPECT_EQ(payload.length, 24u);
    EXPECT_EQ(payload.buffer, nullptr);
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(PayloadTest, CompressedEntriesAreDecodedIntoAZeroedBufferOfFullSize) {
  const Payload payload = decodePayload(memory.view, memory.entry(24, 20, 0), FAKE);
  ASSERT_FALSE(payload.failed()) << payload.problem;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data());
  EXPECT_EQ(calls[0].streamLength, 24);
  EXPECT_EQ(calls[0].expected, 20);
  EXPECT_TRUE(calls[0].zerosElsewhere);
  EXPECT_TRUE(calls[0].outputZeroed);
  EXPECT_EQ(payload.length, 20u);
  EXPECT_EQ(payload.data, payload.buffer.get());
  EXPECT_EQ(Bytes(payload.data, payload.data + 20),
            Bytes(memory.bytes.begin(), memory.bytes.begin() + 20));
}

#ifdef QUARRY_WINDOWS_LOADER
TEST_F(PayloadTest, AWindowsEntryPointGetsEveryArgumentInItsPlace) {
  Decompressor windows;
  windows.windows = windowsFakeDecoder;
  const Payload payload = decodePayload(memory.view, memory.entry(24, 12, FLAG_PREFIXED), windows);
  ASSERT_FALSE(payload.failed()) << payload.problem;
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data() + 12);
  EXPECT_EQ(calls[0].streamLength, 12);
  EXPECT_EQ(calls[0].expected, 12);
  EXPECT_TRUE(calls[0].zerosElsewhere);
  EXPECT_TRUE(calls[0].outputZeroed);
  EXPECT_EQ(Bytes(payload.data, payload.data + 12), textBytes("stream-bytes"));
}
#endif

TEST_F(PayloadTest, PrefixedStreamsStartAfterTwelveBytes) {
  const Payload payload = decodePayload(memory.view, memory.entry(24, 6, FLAG_PREFIXED), FAKE);
  ASSERT_FALSE(payload.failed());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data() + 12);
  EXPECT_EQ(calls[0].streamLength, 12);
  EXPECT_EQ(Bytes(payload.data, payload.data + 6), textBytes("stream"));
}

TEST_F(PayloadTest, AnswersOtherThanTheFullSizeFail) {
  for (std::int64_t skew : {-1, 1, -100}) {
    answerSkew = skew;
    const Payload payload = decodePayload(memory.view, memory.entry(24, 10, 0), FAKE);
    EXPECT_EQ(payload.problem, "failed decompression :(");
    EXPECT_EQ(payload.data, nullptr);
  }
}

TEST_F(PayloadTest, EmptyContentPassesANullBuffer) {
  Payload payload = decodePayload(memory.view, memory.entry(5, 0, 0), FAKE);
  ASSERT_FALSE(payload.failed());
  EXPECT_EQ(payload.length, 0u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].outputNull);
  EXPECT_EQ(calls[0].expected, 0);
  answerSkew = 1;
  payload = decodePayload(memory.view, memory.entry(5, 0, 0), FAKE);
  EXPECT_EQ(payload.problem, "failed decompression :(");
}

TEST_F(PayloadTest, PrefixedEntriesShorterThanThePrefixFailWithoutACall) {
  for (std::uint64_t stored : {0u, 1u, 11u}) {
    const Payload payload =
        decodePayload(memory.view, memory.entry(stored, 40, FLAG_PREFIXED), FAKE);
    EXPECT_EQ(payload.problem, "failed decompression :(");
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(PayloadTest, SizesThatCannotBeAllocatedFailAlone) {
  for (std::uint64_t fullSize : {~0ull, 1ull << 62, 1ull << 50}) {
    const Payload payload = decodePayload(memory.view, memory.entry(24, fullSize, 0), FAKE);
    EXPECT_TRUE(payload.failed());
    EXPECT_NE(payload.problem.find("bytes of memory"), std::string::npos) << payload.problem;
  }
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace quarry
