// The output side over a real folder: replacing files, the copies of stored ranges, and a
// directory chain deeper than the descriptors it keeps open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/unicode.h"
#include "container/mapped_file.h"
#include "extract/output_tree.h"
#include "support/container_writer.h"
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

// A folder with a container mapped in it and an output tree below it.
struct Fixture {
  explicit Fixture(const Bytes& containerBytes = numbered(100)) {
    writeBytes(folder / "container", containerBytes);
    EXPECT_FALSE(mapWholeFile(decodeLossless((folder / "container").string()), container));
  }

  // Makes the entry's parent and writes the payload; the failure, if any.
  std::optional<EntryFailure> extract(OutputTree& tree, const std::string& name,
                                      const Payload& payload) {
    OutputPath target;
    if (auto failure = outputPathFor(tree.folder(), name, target)) return failure;
    if (auto failure = ensureParentDirectories(tree, target)) return failure;
    return writeWholeFile(tree, target, payload);
  }

  TempFolder folder;
  MappedFile container;
};

Payload decoded(const Bytes& bytes) {
  DecodedBytes payload;
  payload.length = bytes.size();
  if (!bytes.empty()) {
    payload.buffer.reset(static_cast<std::uint8_t*>(std::malloc(bytes.size())));
    std::memcpy(payload.buffer.get(), bytes.data(), bytes.size());
  }
  return payload;
}

TEST(OutputTree, ReplacesWhatWasThereAndWritesEmptyFiles) {
  Fixture fixture;
  OutputTree tree(nativeOf(fixture.folder / "out"), fixture.container, "");
  fs::create_directories(fixture.folder / "out");
  writeBytes(fixture.folder / "out" / "f", numbered(5000));
  const Bytes small = numbered(10);
  EXPECT_FALSE(fixture.extract(tree, "f", decoded(small)));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "f"), small);
  EXPECT_FALSE(fixture.extract(tree, "f", decoded({})));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "f"), Bytes{});
}

TEST(OutputTree, ADirectoryWhereTheFileGoesIsLeftAndReported) {
  Fixture fixture;
  fs::create_directories(fixture.folder / "out" / "dir" / "inside");
  OutputTree tree(nativeOf(fixture.folder / "out"), fixture.container, "");
  const auto failure = fixture.extract(tree, "dir", decoded(numbered(10)));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->problem, EntryProblem::CannotWrite);
  EXPECT_TRUE(fs::is_directory(fixture.folder / "out" / "dir" / "inside"));
}

// Past the levels whose descriptors are kept, a sibling deep down reopens its parent.
TEST(OutputTree, ChainsDeeperThanTheHeldDescriptorsStillBranch) {
  Fixture fixture;
  OutputTree tree(nativeOf(fixture.folder / "out"), fixture.container, "");
  std::string deep;
  for (int level = 0; level < 90; ++level) deep += "d/";
  std::string shallower;
  for (int level = 0; level < 70; ++level) shallower += "d/";
  const std::string names[] = {deep + "a", shallower + "b", deep + "c", "top", shallower + "e"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name.size());
    EXPECT_FALSE(fixture.extract(tree, name, decoded(testing::textBytes(name))));
    EXPECT_EQ(readBytes(fixture.folder / "out" / name), testing::textBytes(name));
  }
}

#ifndef _WIN32
// Stored payloads are copied from the container's file; the bytes are the entry's range.
TEST(OutputTree, StoredRangesArriveWhole) {
  const Bytes content = numbered(3 * 1024 * 1024 + 123);
  Fixture fixture(content);
  OutputTree tree(nativeOf(fixture.folder / "out"), fixture.container, "");
  const StoredBytes stored{fixture.container.bytes().subspan(4097, content.size() - 4097 - 5),
                           4097};
  const Bytes expected(content.begin() + 4097, content.end() - 5);
  EXPECT_FALSE(fixture.extract(tree, "copied", stored));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "copied"), expected);
  EXPECT_FALSE(fixture.extract(tree, "again", stored));
  EXPECT_EQ(readBytes(fixture.folder / "out" / "again"), expected);
}
#endif

}  // namespace
}  // namespace quarry
