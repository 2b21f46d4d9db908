#include "extract/stored_copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/stop.h"
#include "base/unique_fd.h"
#include "support/temp_folder.h"

namespace quarry {
namespace {

std::vector<char> patternOf(std::size_t size) {
  std::vector<char> bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>(k * 7 + k / 251);
  return bytes;
}

std::vector<char> contentsOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A container of size patterned bytes and an empty entry file, in a fresh folder, both open.
struct CopyFiles {
  explicit CopyFiles(std::size_t size) : source(patternOf(size)) {
    std::ofstream(folder / "container", std::ios::binary)
        .write(source.data(), static_cast<std::streamsize>(source.size()));
    from.reset(open((folder / "container").c_str(), O_RDONLY | O_CLOEXEC));
    to.reset(open((folder / "entry").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }
  std::vector<char> written() const { return contentsOf(folder / "entry"); }

  testing::TempFolder folder;
  std::vector<char> source;
  UniqueFd from;
  UniqueFd to;
};

struct CopyCase {
  const char* name;
  std::uint64_t fileSize;  // the container's bytes on disk
  std::uint64_t offset;
  std::uint64_t length;  // below 1 MiB the kernel's copy is tried first, from it the buffer's
  bool cutShort;         // the file ends inside the range
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
  const CopyFiles files(c.fileSize);
  ASSERT_TRUE(files.from.valid() && files.to.valid());

  StoredCopy copy;
  const int answer = copy.copy(files.from.get(), c.offset, c.length, files.to.get());
  if (c.cutShort) {
    EXPECT_EQ(answer, STOPPED);
    EXPECT_EQ(stopCause(), StopCause::ContainerCutShort);
    return;
  }
  EXPECT_EQ(answer, 0);
  EXPECT_FALSE(stopRequested());
  const auto start = files.source.begin() + static_cast<std::ptrdiff_t>(c.offset);
  EXPECT_EQ(files.written(),
            std::vector<char>(start, start + static_cast<std::ptrdiff_t>(c.length)));
}

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Ranges, StoredCopyTest,
    ::testing::Values(CopyCase{"SmallWhole", 5000, 100, 4000, false},
                      CopyCase{"SmallCutShort", 3000, 100, 4000, true},
                      CopyCase{"SmallStartingPastTheEnd", 3000, 3500, 10, true},
                      CopyCase{"LargeWhole", 3 * MIB, 17, 2 * MIB + 5, false},
                      CopyCase{"LargeCutShort", MIB + 100, 17, 2 * MIB, true}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return info.param.name; });

// A stop raised elsewhere (an interrupt) ends a long copy between its chunks.
TEST(StoredCopy, AStopRaisedBeforeALongCopyEndsIt) {
  const CopyFiles files(2 * MIB);
  ASSERT_TRUE(files.from.valid() && files.to.valid());
  clearStop();
  requestStop(StopCause::Interrupted);
  StoredCopy copy;
  EXPECT_EQ(copy.copy(files.from.get(), 0, 2 * MIB, files.to.get()), STOPPED);
  EXPECT_EQ(stopCause(), StopCause::Interrupted);
  EXPECT_TRUE(files.written().empty());
  clearStop();
}

#ifdef QUARRY_KERNEL_COPY
// The kernel's copy answers a container that ends inside the range as the stop, not as a way
// that does not work: the way stays in use for the entries after it, and a way that is
// refused is passed over, never answered as the copy's result.
TEST(KernelCopy, ACutShortContainerStopsTheRunWithoutGivingUpTheWay) {
  const CopyFiles files(3000);
  ASSERT_TRUE(files.from.valid() && files.to.valid());
  clearStop();
  std::size_t firstUsable = 0;
  EXPECT_EQ(copyInKernel(firstUsable, files.from.get(), 1000, 4000, files.to.get()),
            std::optional<int>(STOPPED));
  EXPECT_EQ(stopCause(), StopCause::ContainerCutShort);
  EXPECT_EQ(firstUsable, 0u);
  clearStop();

  // A descriptor open for reading only cannot be written to by any way: all are refused.
  const UniqueFd readOnly(open((files.folder / "entry").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(copyInKernel(firstUsable, files.from.get(), 0, 100, readOnly.get()), std::nullopt);
  EXPECT_FALSE(stopRequested());
}
#endif

}  // namespace
}  // namespace quarry
