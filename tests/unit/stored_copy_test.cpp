// Copying a stored entry's range out of the container's file through its owner, MappedFile:
// the kernel's copy, the buffer's, and the stop when the file was cut short after it was
// mapped.
#include "container/stored_copy-posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/stop.h"
#include "base/unicode.h"
#include "base/unique_fd-posix.h"
#include "container/mapped_file.h"
#include "support/temp_folder.h"

namespace quarry {
namespace {

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

std::vector<char> patternOf(std::size_t size) {
  std::vector<char> bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>(k * 7 + k / 251);
  return bytes;
}

std::vector<char> contentsOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A container of size patterned bytes, mapped, and an empty entry file open for writing, in a
// fresh folder.
struct CopyFiles {
  explicit CopyFiles(std::size_t size) : source(patternOf(size)) {
    std::ofstream(folder / "container", std::ios::binary)
        .write(source.data(), static_cast<std::streamsize>(source.size()));
    mapped = !mapWholeFile(decodeLossless((folder / "container").string()), container);
    to.reset(open((folder / "entry").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }
  // Another program cuts the container short while it is mapped.
  void cutTo(std::uint64_t size) const { std::filesystem::resize_file(folder / "container", size); }
  std::vector<char> written() const { return contentsOf(folder / "entry"); }

  testing::TempFolder folder;
  std::vector<char> source;
  MappedFile container;
  bool mapped = false;
  UniqueFd to;
};

struct CopyCase {
  const char* name;
  std::uint64_t fileSize;  // the container's bytes when it was mapped
  std::uint64_t cutTo;     // its bytes on disk when the copy starts
  std::uint64_t offset;
  std::uint64_t length;  // below 1 MiB the kernel's copy is tried first, from it the buffer's
};

class StoredCopyTest : public ::testing::TestWithParam<CopyCase> {
 protected:
  void SetUp() override { clearStop(); }
  void TearDown() override { clearStop(); }
};

// A range that ends past the file means the container was cut short after it was mapped: the
// copy stops the run rather than failing the one entry, and never reports success.
TEST_P(StoredCopyTest, CopiesTheRangeOrStopsTheRunWhenTheContainerEndsInside) {
  const CopyCase& c = GetParam();
  CopyFiles files(c.fileSize);
  ASSERT_TRUE(files.mapped && files.to.valid());
  files.cutTo(c.cutTo);

  const OsResult answer = files.container.copyRange(c.offset, c.length, files.to.get());
  EXPECT_EQ(answer.osError, 0);
  if (c.offset + c.length > c.cutTo) {
    EXPECT_TRUE(answer.stopped);
    EXPECT_FALSE(answer.ok());
    EXPECT_EQ(stopCause(), StopCause::ContainerCutShort);
    return;
  }
  EXPECT_TRUE(answer.ok());
  EXPECT_FALSE(stopRequested());
  const auto start = files.source.begin() + static_cast<std::ptrdiff_t>(c.offset);
  EXPECT_EQ(files.written(),
            std::vector<char>(start, start + static_cast<std::ptrdiff_t>(c.length)));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, StoredCopyTest,
    ::testing::Values(CopyCase{"SmallWhole", 5000, 5000, 100, 4000},
                      CopyCase{"SmallCutShort", 5000, 3000, 100, 4000},
                      CopyCase{"SmallStartingPastTheEnd", 5000, 3000, 3500, 10},
                      CopyCase{"LargeWhole", 3 * MIB, 3 * MIB, 17, 2 * MIB + 5},
                      CopyCase{"LargeCutShort", 3 * MIB, MIB + 100, 17, 2 * MIB}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return info.param.name; });

// A stop raised elsewhere (an interrupt) ends a long copy between its chunks.
TEST(StoredCopy, AStopRaisedBeforeALongCopyEndsIt) {
  CopyFiles files(2 * MIB);
  ASSERT_TRUE(files.mapped && files.to.valid());
  clearStop();
  requestStop(StopCause::Interrupted);
  const OsResult answer = files.container.copyRange(0, 2 * MIB, files.to.get());
  EXPECT_TRUE(answer.stopped);
  EXPECT_EQ(stopCause(), StopCause::Interrupted);
  EXPECT_TRUE(files.written().empty());
  clearStop();
}

// A file that cannot be written answers the system's own error, by the kernel's way (which
// gives up on such a file, then the buffer's) and by the buffer's alone, and no stop.
TEST(StoredCopy, AFileThatCannotBeWrittenAnswersTheSystemsError) {
  CopyFiles files(2 * MIB);
  ASSERT_TRUE(files.mapped);
  clearStop();
  const UniqueFd readOnly(open((files.folder / "entry").c_str(), O_RDONLY | O_CLOEXEC));
  for (const std::uint64_t length : {std::uint64_t{100}, 2 * MIB}) {
    const OsResult answer = files.container.copyRange(0, length, readOnly.get());
    EXPECT_EQ(answer.osError, EBADF) << length;
    EXPECT_FALSE(answer.stopped) << length;
  }
  EXPECT_FALSE(stopRequested());
}

#ifdef QUARRY_KERNEL_COPY
// The kernel's copy answers a container that ends inside the range as the stop, not as a way
// that does not work: the way stays in use for the entries after it, and a way that is
// refused is passed over, never answered as the copy's result.
TEST(KernelCopy, ACutShortContainerStopsTheRunWithoutGivingUpTheWay) {
  const CopyFiles files(3000);
  const UniqueFd from(open((files.folder / "container").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(from.valid() && files.to.valid());
  clearStop();
  std::size_t firstUsable = 0;
  const std::optional<OsResult> copied =
      copyInKernel(firstUsable, from.get(), 1000, 4000, files.to.get());
  ASSERT_TRUE(copied.has_value());
  EXPECT_TRUE(copied->stopped);
  EXPECT_EQ(stopCause(), StopCause::ContainerCutShort);
  EXPECT_EQ(firstUsable, 0u);
  clearStop();

  // A descriptor open for reading only cannot be written to by any way: all are refused.
  const UniqueFd readOnly(open((files.folder / "entry").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(copyInKernel(firstUsable, from.get(), 0, 100, readOnly.get()).has_value());
  EXPECT_FALSE(stopRequested());
}
#endif

}  // namespace
}  // namespace quarry
