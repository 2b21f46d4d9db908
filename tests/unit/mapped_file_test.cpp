// The container's mapping keeps the resident set small: a fault in a table maps no more than
// a chunk, and pages go once a region's reads spread past a window. Read back from the
// kernel's own page tables (Linux).
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "base/unicode.h"
#include "container/mapped_file.h"
#include "support/container_writer.h"
#include "support/temp_folder.h"

namespace quarry {
namespace {

// Pages of range present in this process's page tables.
std::size_t presentPages(ByteSpan range) {
  const int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (pagemap < 0) return 0;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(range.data()) / page;
  const auto last = (reinterpret_cast<std::uintptr_t>(range.data()) + range.size() - 1) / page;
  std::size_t present = 0;
  for (std::uintptr_t at = first; at <= last; ++at) {
    std::uint64_t entry = 0;
    if (pread(pagemap, &entry, sizeof entry, static_cast<off_t>(at * sizeof entry)) == 8) {
      present += entry >> 63;
    }
  }
  close(pagemap);
  return present;
}

std::size_t mappingAreas() {
  std::ifstream maps("/proc/self/maps");
  std::size_t lines = 0;
  for (std::string line; std::getline(maps, line);) ++lines;
  return lines;
}

TEST(MappedFile, ReadingATableKeepsFewOfItsPagesResident) {
  testing::TempFolder folder;
  const std::size_t size = std::size_t{32} << 20;
  testing::writeBytes(folder / "table", testing::Bytes(size, 0x5A));
  MappedFile file;
  ASSERT_FALSE(mapWholeFile(decodeLossless((folder / "table").string()), file));
  const ByteSpan bytes = file.bytes();
  const std::size_t areasBefore = mappingAreas();
  file.boundFaults(bytes);
  EXPECT_GT(mappingAreas(), areasBefore + 32) << "the table is cut into areas";
  std::size_t mostPresent = 0;
  unsigned sum = 0;
  for (std::size_t at = 0; at < size; at += 144) {  // records of one entry each
    sum += bytes[at];
    file.noteRead(MappedFile::Region::Entries, bytes.subspan(at, 144));
    if (at % (std::size_t{1} << 20) < 144) mostPresent = std::max(mostPresent, presentPages(bytes));
  }
  EXPECT_NE(sum, 0u);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_LE(mostPresent * page, std::size_t{1} << 20) << "at most a window and a chunk or two";
}

}  // namespace
}  // namespace quarry
#endif
