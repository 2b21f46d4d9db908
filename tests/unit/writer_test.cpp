#include <gtest/gtest.h>

#include <filesystem>

#include "container/mapped_file.h"
#include "extract/text.h"
#include "extract/writer.h"
#include "support/container_writer.h"
#include "support/temp_folder.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace quarry {
namespace {

using testing::Bytes;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

std::u16string pathOf(const std::filesystem::path& path) {
  return decodeLossless(path.string());
}

Bytes numbered(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>(k * 7 + k / 251);
  return bytes;
}

TEST(Writer, ReplacesWhatWasThereAndWritesEmptyFiles) {
  TempFolder folder;
  writeBytes(folder / "f", numbered(5000));
  const Bytes small = numbered(10);
  EXPECT_EQ(writeWholeFile(pathOf(folder / "f"), small.data(), small.size()), 0);
  EXPECT_EQ(readBytes(folder / "f"), small);
  EXPECT_EQ(writeWholeFile(pathOf(folder / "f"), nullptr, 0), 0);
  EXPECT_EQ(readBytes(folder / "f"), Bytes{});
}

TEST(Writer, FailuresLeaveNothingBehindAndSayWhy) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "dir");
  const Bytes bytes = numbered(10);
  EXPECT_NE(writeWholeFile(pathOf(folder / "dir"), bytes.data(), bytes.size()), 0);
  EXPECT_NE(writeWholeFile(pathOf(folder / "missing" / "f"), bytes.data(), bytes.size()), 0);
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

#ifndef _WIN32
// Stored payloads come from the container's file: copied in the kernel where it can, written
// from the mapping where it refuses. Either way the bytes are the same range.
TEST(Writer, StoredRangesArriveWholeWhicheverWayTheyAreCopied) {
  TempFolder folder;
  const Bytes container = numbered(3 * 1024 * 1024 + 123);
  writeBytes(folder / "container", container);
  MappedFile mapped;
  std::string why;
  ASSERT_TRUE(mapWholeFile(pathOf(folder / "container"), mapped, why)) << why;
  const std::uint64_t offset = 4097;
  const std::uint64_t length = container.size() - offset - 5;
  const Bytes expected(container.begin() + offset, container.begin() + offset + length);
  const std::uint8_t* data = mapped.bytes().data + offset;

  const FileRange fromFile{mapped.fileHandle(), offset};
  ASSERT_EQ(writeWholeFile(pathOf(folder / "copied"), data, length, fromFile), 0);
  EXPECT_EQ(readBytes(folder / "copied"), expected);

  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);  // no kernel copy takes a pipe at an offset
  const FileRange refused{pipeEnds[0], offset};
  ASSERT_EQ(writeWholeFile(pathOf(folder / "written"), data, length, refused), 0);
  EXPECT_EQ(readBytes(folder / "written"), expected);
  ASSERT_EQ(writeWholeFile(pathOf(folder / "again"), data, length, fromFile), 0);
  EXPECT_EQ(readBytes(folder / "again"), expected);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}
#endif

}  // namespace
}  // namespace quarry
