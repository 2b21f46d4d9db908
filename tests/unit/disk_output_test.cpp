// The output side over a real folder: replacing files, the copies of stored ranges, and
// folders deeper than the descriptors it keeps open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/stop.h"
#include "base/unicode.h"
#include "container/mapped_file.h"
#include "extract/output_tree.h"
#include "support/container_writer.h"
#include "support/payloads.h"
#include "support/temp_folder.h"

namespace quarry {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

PathString nativeOf(const fs::path& path) {
#ifdef _WIN32
  return path.u16string();
#else
  return path.string();
#endif
}

Bytes numbered(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<std::uint8_t>(k * 7 + k / 251);
  return bytes;
}

// A folder with a container mapped in it and an output tree below it, on the disk.
struct Fixture {
  explicit Fixture(const Bytes& containerBytes = numbered(100)) {
    clearStop();
    writeBytes(folder / "container", containerBytes);
    EXPECT_FALSE(mapWholeFile(decodeLossless((folder / "container").string()), container));
    disk = makeDiskFileSystem();
    tree = std::make_unique<OutputTree>(*disk, nativeOf(folder / "out"),
                                        filesToProtect({*container.identity()}, ""));
  }

  // Makes the entry's parent and writes the payload; the failure, if any.
  std::optional<OutputFailure> extract(const std::string& name, const Payload& payload) {
    OutputPath target;
    if (outputPathFor(tree->folder(), name, target)) {
      ADD_FAILURE() << "the name is refused: " << name;
      return std::nullopt;
    }
    if (auto failure = tree->ensureParentDirectories(target)) return failure;
    WriteOutcome outcome;
    return tree->writeWholeFile(target, payload, ExistingFiles::Replace, outcome);
  }

  TempFolder folder;
  MappedFile container;
  std::unique_ptr<FileSystem> disk;
  std::unique_ptr<OutputTree> tree;
};

TEST(DiskOutput, ReplacesWhatWasThereAndWritesEmptyFiles) {
  Fixture fixture;
  fs::create_directories(fixture.folder / "out");
  writeBytes(fixture.folder / "out" / "f", numbered(5000));
  const Bytes small = numbered(10);
  EXPECT_FALSE(fixture.extract("f", testing::decodedPayload(small)));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "f"), small);
  EXPECT_FALSE(fixture.extract("f", testing::decodedPayload({})));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "f"), Bytes{});
}

TEST(DiskOutput, ADirectoryWhereTheFileGoesIsLeftAndReported) {
  Fixture fixture;
  fs::create_directories(fixture.folder / "out" / "dir" / "inside");
  const auto failure = fixture.extract("dir", testing::decodedPayload(numbered(10)));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->problem, OutputProblem::CannotWrite);
  EXPECT_TRUE(fs::is_directory(fixture.folder / "out" / "dir" / "inside"));
}

// Deep folders, entered in any order, from the few descriptors kept.
TEST(DiskOutput, DeepFoldersInAnyOrder) {
  Fixture fixture;
  std::string deep;
  for (int level = 0; level < 300; ++level) deep += "d/";
  std::string shallower;
  for (int level = 0; level < 70; ++level) shallower += "d/";
  const std::string names[] = {deep + "a", shallower + "b", deep + "c", "top", shallower + "e"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    EXPECT_FALSE(fixture.extract(name, testing::decodedPayload(testing::textBytes(name))));
    EXPECT_EQ(readBytes(fixture.folder / "out" / name), testing::textBytes(name));
  }
}

#ifndef _WIN32
// Stored payloads are copied from the container's file; the bytes are the entry's range.
TEST(DiskOutput, StoredRangesArriveWhole) {
  const Bytes content = numbered(3 * 1024 * 1024 + 123);
  Fixture fixture(content);
  const StoredBytes stored{fixture.container.bytes().subspan(4097, content.size() - 4097 - 5),
                           4097, &fixture.container};
  const Bytes expected(content.begin() + 4097, content.end() - 5);
  EXPECT_FALSE(fixture.extract("copied", stored));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "copied"), expected);
  EXPECT_FALSE(fixture.extract("again", stored));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "again"), expected);
}
#endif

}  // namespace
}  // namespace quarry
