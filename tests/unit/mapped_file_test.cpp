// The container's mapping keeps the resident set small: a fault in a table maps no more than
// a chunk, and pages go once a region's reads spread past a window, fed by the run's one call
// per entry. Read back from the kernel's own page tables (Linux).
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "base/unicode.h"
#include "container/mapped_file.h"
#include "container/view.h"
#include "support/container_writer.h"
#include "support/temp_folder.h"

namespace quarry {
namespace {

constexpr std::size_t MIB = std::size_t{1} << 20;

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

std::size_t presentBytes(ByteSpan range) {
  return presentPages(range) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
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
  RegionSpans regions{};
  spanOf(regions, ReadRegion::Entries) = bytes;
  file.boundFaults(regions);
  EXPECT_GT(mappingAreas(), areasBefore + 32) << "the table is cut into areas";
  std::size_t mostPresent = 0;
  unsigned sum = 0;
  for (std::size_t at = 0; at < size; at += 144) {  // records of one entry each
    sum += bytes[at];
    RegionSpans reads{};
    spanOf(reads, ReadRegion::Entries) = bytes.subspan(at, 144);
    file.noteEntryDone(reads);
    if (at % MIB < 144) mostPresent = std::max(mostPresent, presentBytes(bytes));
  }
  EXPECT_NE(sum, 0u);
  EXPECT_LE(mostPresent, MIB) << "at most a window and a chunk or two";
}

// A container of many entries with long names and no content: megabytes of tables.
testing::Bytes manyEntries(std::size_t count) {
  std::vector<testing::ContainerEntry> entries;
  entries.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    entries.push_back(testing::storedEntry(
        "textures/environment/rock_" + std::to_string(k) + "_diffuse.texture", {}));
  }
  return testing::buildContainer(entries).bytes;
}

struct EntryCallCase {
  const char* name;
  bool callPerEntry;  // the run's noteEntryDone after each entry
  bool staysSmall;    // each table's resident part stays under a MiB all through
};

class PerEntryCall : public ::testing::TestWithParam<EntryCallCase> {};

// What the run reads of each entry (its record, name pair, name offset and name) is told to
// the mapping's owner in one call once the entry is done; without it nothing goes, which shows
// that the pages counted are the ones the walk brings in.
TEST_P(PerEntryCall, LetsTheTablesPagesGoBehindTheWalk) {
  const EntryCallCase& c = GetParam();
  testing::TempFolder folder;
  testing::writeBytes(folder / "many.resources", manyEntries(60000));
  ResourceView view;
  ASSERT_FALSE(openResourceView(decodeLossless((folder / "many.resources").string()), view));
  const RegionSpans tables = tableSpans(view.tables);
  const ByteSpan records = spanOf(tables, ReadRegion::Entries);
  const ByteSpan names = spanOf(tables, ReadRegion::Names);
  ASSERT_GT(records.size(), 8 * MIB);
  ASSERT_GT(names.size(), 2 * MIB);
  std::size_t mostRecords = 0;
  std::size_t mostNames = 0;
  for (std::uint64_t index = 0; index < view.tables.entryCount; ++index) {
    EntryRef entry;
    ASSERT_FALSE(entryAt(view.tables, index, entry));
    if (c.callPerEntry) noteEntryDone(view, index, entry, StreamRead::No);
    if (index % 4096 == 0 || index + 1 == view.tables.entryCount) {
      mostRecords = std::max(mostRecords, presentBytes(records));
      mostNames = std::max(mostNames, presentBytes(names));
    }
  }
  EXPECT_EQ(mostRecords <= MIB, c.staysSmall) << mostRecords << " bytes of records resident";
  EXPECT_EQ(mostNames <= MIB, c.staysSmall) << mostNames << " bytes of names resident";
}

INSTANTIATE_TEST_SUITE_P(Walks, PerEntryCall,
                         ::testing::Values(EntryCallCase{"CalledAfterEachEntry", true, true},
                                           EntryCallCase{"NeverCalled", false, false}),
                         [](const ::testing::TestParamInfo<EntryCallCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace quarry
#endif
