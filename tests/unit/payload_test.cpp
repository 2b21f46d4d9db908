#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "extract/payload.h"
#ifdef QUARRY_WINDOWS_LOADER
#include "decoder/windows_entry-linux.h"
#endif
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

const Decompressor FAKE = nativeDecompressor(fakeDecoder);

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
  MemoryView() { view.tables.bytes = ByteSpan(bytes); }
  EntryRef entry(std::uint64_t storedSize, std::uint64_t fullSize, std::uint32_t flags) const {
    return {"name", 0, storedSize, fullSize, flags};
  }
};

class PayloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    answerSkew = 0;
  }

  // Decodes the entry; its failure's problem, if any, goes to problem.
  Payload decode(const EntryRef& entry, std::optional<DecodeProblem>* problem = nullptr,
                 const Decompressor& decompress = FAKE) {
    Payload payload;
    const auto failure = decodePayload(memory.view, entry, decompress, payload);
    if (problem == nullptr) {
      EXPECT_FALSE(failure);
    } else {
      *problem = failure ? std::optional(failure->problem) : std::nullopt;
    }
    return payload;
  }

  std::optional<DecodeProblem> problemOf(const EntryRef& entry) {
    std::optional<DecodeProblem> problem;
    decode(entry, &problem);
    return problem;
  }

  MemoryView memory;
};

TEST_F(PayloadTest, StoredEntriesAreBorrowedWithoutACall) {
  for (std::uint32_t flags : {0u, FLAG_PREFIXED}) {
    const Payload payload = decode(memory.entry(24, 24, flags));
    ASSERT_TRUE(std::holds_alternative<StoredBytes>(payload));
    const StoredBytes& stored = std::get<StoredBytes>(payload);
    EXPECT_EQ(stored.bytes.data(), memory.bytes.data()) << "no copy";
    EXPECT_EQ(stored.bytes.size(), 24u);
    EXPECT_EQ(stored.offset, 0u);
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(PayloadTest, CompressedEntriesAreDecodedIntoAZeroedBufferOfFullSize) {
  const Payload payload = decode(memory.entry(24, 20, 0));
  ASSERT_TRUE(std::holds_alternative<DecodedBytes>(payload));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data());
  EXPECT_EQ(calls[0].streamLength, 24);
  EXPECT_EQ(calls[0].expected, 20);
  EXPECT_TRUE(calls[0].zerosElsewhere);
  EXPECT_TRUE(calls[0].outputZeroed);
  const ByteSpan decoded = std::get<DecodedBytes>(payload).bytes();
  EXPECT_EQ(Bytes(decoded.begin(), decoded.end()),
            Bytes(memory.bytes.begin(), memory.bytes.begin() + 20));
}

#ifdef QUARRY_WINDOWS_LOADER
TEST_F(PayloadTest, AWindowsEntryPointGetsEveryArgumentInItsPlace) {
  const Decompressor windows = windowsDecompressor(windowsFakeDecoder);
  const Payload payload = decode(memory.entry(24, 12, FLAG_PREFIXED), nullptr, windows);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data() + 12);
  EXPECT_EQ(calls[0].streamLength, 12);
  EXPECT_EQ(calls[0].expected, 12);
  EXPECT_TRUE(calls[0].zerosElsewhere);
  EXPECT_TRUE(calls[0].outputZeroed);
  const ByteSpan decoded = std::get<DecodedBytes>(payload).bytes();
  EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), textBytes("stream-bytes"));
}
#endif

TEST_F(PayloadTest, PrefixedStreamsStartAfterTwelveBytes) {
  const Payload payload = decode(memory.entry(24, 6, FLAG_PREFIXED));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].stream, memory.bytes.data() + 12);
  EXPECT_EQ(calls[0].streamLength, 12);
  const ByteSpan decoded = std::get<DecodedBytes>(payload).bytes();
  EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), textBytes("stream"));
}

TEST_F(PayloadTest, AnswersOtherThanTheFullSizeFail) {
  for (std::int64_t skew : {-1, 1, -100}) {
    answerSkew = skew;
    EXPECT_EQ(problemOf(memory.entry(24, 10, 0)), DecodeProblem::DecompressionFailed);
  }
}

TEST_F(PayloadTest, EmptyContentPassesANullBuffer) {
  const Payload payload = decode(memory.entry(5, 0, 0));
  EXPECT_EQ(std::get<DecodedBytes>(payload).bytes().size(), 0u);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].outputNull);
  EXPECT_EQ(calls[0].expected, 0);
  answerSkew = 1;
  EXPECT_EQ(problemOf(memory.entry(5, 0, 0)), DecodeProblem::DecompressionFailed);
}

TEST_F(PayloadTest, PrefixedEntriesShorterThanThePrefixFailWithoutACall) {
  for (std::uint64_t stored : {0u, 1u, 11u}) {
    EXPECT_EQ(problemOf(memory.entry(stored, 40, FLAG_PREFIXED)),
              DecodeProblem::DecompressionFailed);
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(PayloadTest, SizesThatCannotBeAllocatedFailAlone) {
  for (std::uint64_t fullSize : {~0ull, 1ull << 62, 1ull << 50}) {
    Payload payload;
    const auto failure = decodePayload(memory.view, memory.entry(24, fullSize, 0), FAKE, payload);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->problem, DecodeProblem::OutOfMemory);
    EXPECT_EQ(failure->size, fullSize);
  }
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace quarry
