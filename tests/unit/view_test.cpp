#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "container/view.h"
#include "support/container_writer.h"

namespace quarry {
namespace {

using testing::buildContainer;
using testing::BuiltContainer;
using testing::Bytes;
using testing::ContainerEntry;
using testing::ContainerLayout;
using testing::putU32;
using testing::putU64;
using testing::Region;
using testing::storedEntry;
using testing::textBytes;

ByteSpan spanOf(const Bytes& bytes) {
  return ByteSpan(bytes);
}

// The problem of entry index, or nothing when it is found.
std::optional<RecordProblem> problemOf(const ResourceTables& tables, std::uint64_t index) {
  EntryRef entry;
  return entryAt(tables, index, entry);
}

EntryRef found(const ResourceTables& tables, std::uint64_t index) {
  EntryRef entry;
  EXPECT_FALSE(entryAt(tables, index, entry));
  return entry;
}

TEST(LayoutReaders, ReadLittleEndianAtAnyAlignment) {
  const std::uint8_t bytes[] = {0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF};
  EXPECT_EQ(readU32(bytes + 1), 0x04030201u);
  EXPECT_EQ(readU64(bytes + 1), 0x0807060504030201ull);
  EXPECT_EQ(readU64(bytes + 2), 0xFF08070605040302ull);
}

TEST(LayoutReaders, RangeArithmeticDoesNotOverflow) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(rangeFits(0, 10, 10));
  EXPECT_TRUE(rangeFits(10, 0, 10));
  EXPECT_FALSE(rangeFits(11, 0, 10));
  EXPECT_FALSE(rangeFits(1, 10, 10));
  EXPECT_FALSE(rangeFits(5, MAX, 10));
  EXPECT_FALSE(rangeFits(MAX, 2, MAX));
  std::uint64_t product = 0;
  EXPECT_FALSE(multiplyFits(MAX / 2, 3, product));
  EXPECT_TRUE(multiplyFits(1u << 20, 144, product));
  EXPECT_EQ(product, 144u << 20);
}

struct WalkedEntry {
  std::string name;
  Bytes stored;
  std::uint64_t fullSize;
  std::uint32_t flags;
};

std::vector<WalkedEntry> walk(const Bytes& container) {
  ResourceTables tables;
  EXPECT_FALSE(readTables(spanOf(container), tables));
  std::vector<WalkedEntry> walked;
  for (std::uint64_t k = 0; k < tables.entryCount; ++k) {
    const EntryRef e = found(tables, k);
    EXPECT_EQ(e.name.data()[e.name.size()], '\0') << "a NUL follows the name";
    const std::uint8_t* data = container.data() + e.dataOffset;
    walked.push_back({std::string(e.name), Bytes(data, data + e.storedSize), e.fullSize, e.flags});
  }
  return walked;
}

std::vector<ContainerEntry> sampleEntries() {
  return {storedEntry("a/b/c.dat", textBytes("first")), storedEntry("", textBytes("empty name")),
          storedEntry("a/b/c.dat", textBytes("same name again"), FLAG_PREFIXED),
          storedEntry("z", Bytes{})};
}

TEST(ContainerView, WalksEveryLayoutTheWriterCanMake) {
  struct Case {
    const char* what;
    ContainerLayout layout;
  };
  const std::vector<Case> cases = {
      {"defaults", {}},
      {"three index words", {.indexWordCount = 3}},
      {"unaligned gaps", {.gap = 3}},
      {"tables reversed",
       {.order = {Region::Data, Region::Entries, Region::Index, Region::Strings}, .gap = 5}},
      {"names not shared", {.shareNames = false}},
      {"unused strings", {.indexWordCount = 1, .unusedStrings = {"spare", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto walked = walk(buildContainer(sampleEntries(), c.layout).bytes);
    ASSERT_EQ(walked.size(), 4u);
    EXPECT_EQ(walked[0].name, "a/b/c.dat");
    EXPECT_EQ(walked[0].stored, textBytes("first"));
    EXPECT_EQ(walked[1].name, "");
    EXPECT_EQ(walked[2].name, "a/b/c.dat");
    EXPECT_EQ(walked[2].flags, FLAG_PREFIXED);
    EXPECT_EQ(walked[2].fullSize, 15u);
    EXPECT_EQ(walked[3].stored, Bytes{});
  }
}

TEST(ContainerView, SharedNameIndexesGiveTheSameName) {
  const BuiltContainer built = buildContainer(sampleEntries());
  EXPECT_EQ(built.nameIndexes[0], built.nameIndexes[2]);
  ResourceTables tables;
  ASSERT_FALSE(readTables(spanOf(built.bytes), tables));
  EXPECT_EQ(found(tables, 0).name.data(), found(tables, 2).name.data());
}

TEST(ContainerView, ZeroEntriesOpensWithNothingToWalk) {
  const Bytes container = buildContainer({}).bytes;
  ResourceTables tables;
  ASSERT_FALSE(readTables(spanOf(container), tables));
  EXPECT_EQ(tables.entryCount, 0u);
}

TEST(ContainerView, LastEntryMayEndExactlyAtTheEndOfTheFile) {
  ContainerLayout layout;
  layout.order = {Region::Strings, Region::Index, Region::Data, Region::Entries};
  const Bytes container = buildContainer(sampleEntries(), layout).bytes;
  const auto walked = walk(container);
  ASSERT_EQ(walked.size(), 4u);
  EXPECT_EQ(walked[3].name, "z");
  Bytes shortened(container.begin(), container.end() - 1);
  ResourceTables tables;
  EXPECT_EQ(readTables(spanOf(shortened), tables), OpenProblem::EntryTableOutside);
}

// Each case damages a valid container and names the sentence the open must fail with.
std::uint64_t offsetIn(const Bytes& container, ByteSpan span) {
  return static_cast<std::uint64_t>(span.data() - container.data());
}

// What reading an entry touched, told to the mapping's owner so that its pages can go: the
// record, the name pair, the name's offset and the name with its NUL, the stored bytes only
// when they were decoded, and nothing of the names for an entry whose name was not found.
TEST(ContainerView, AnEntrysFootprintIsWhatReadingItTouched) {
  std::vector<ContainerEntry> entries = sampleEntries();
  entries.push_back(storedEntry("lost", textBytes("name outside the table")));
  entries.back().nameIndex = 1000;
  const BuiltContainer built = buildContainer(entries, {.indexWordCount = 3, .gap = 5});
  ResourceTables tables;
  ASSERT_FALSE(readTables(spanOf(built.bytes), tables));
  const std::uint64_t pairsAt = built.indexBlockOffset + 3 * INDEX_WORD_SIZE;
  for (std::uint64_t index = 0; index < entries.size(); ++index) {
    for (const StreamRead stream : {StreamRead::No, StreamRead::Yes}) {
      SCOPED_TRACE(::testing::Message() << index << (stream == StreamRead::Yes ? " decoded" : ""));
      EntryRef entry;
      const bool named = !entryAt(tables, index, entry);
      const RegionSpans reads = entryFootprint(tables, index, entry, stream);
      const ByteSpan record = spanOf(reads, ReadRegion::Entries);
      EXPECT_EQ(offsetIn(built.bytes, record), built.entryTableOffset + ENTRY_SIZE * index);
      EXPECT_EQ(record.size(), ENTRY_SIZE);
      const ByteSpan pair = spanOf(reads, ReadRegion::NamePairs);
      EXPECT_EQ(offsetIn(built.bytes, pair), pairsAt + NAME_PAIR_SIZE * index);
      EXPECT_EQ(pair.size(), NAME_PAIR_SIZE);
      const ByteSpan offset = spanOf(reads, ReadRegion::StringOffsets);
      const ByteSpan name = spanOf(reads, ReadRegion::Names);
      if (named) {
        EXPECT_EQ(offsetIn(built.bytes, offset), built.stringTableOffset + STRING_COUNT_SIZE +
                                                     STRING_OFFSET_SIZE * built.nameIndexes[index]);
        EXPECT_EQ(offset.size(), STRING_OFFSET_SIZE);
        EXPECT_EQ(std::string(name.begin(), name.end()), std::string(entry.name) + '\0');
      } else {
        EXPECT_TRUE(offset.empty() && name.empty());
      }
      const ByteSpan stored = spanOf(reads, ReadRegion::Streams);
      EXPECT_EQ(Bytes(stored.begin(), stored.end()),
                stream == StreamRead::Yes ? entries[index].stored : Bytes{});
    }
  }
}

// Where each table lies, for bounding the faults in it; the names run up to the table after
// them, or to the end of the file.
TEST(ContainerView, TableSpansCoverEachTable) {
  const std::vector<ContainerLayout> layouts = {
      {.indexWordCount = 2, .gap = 3},
      {.order = {Region::Data, Region::Entries, Region::Index, Region::Strings}, .gap = 5}};
  for (const ContainerLayout& layout : layouts) {
    const BuiltContainer built = buildContainer(sampleEntries(), layout);
    ResourceTables tables;
    ASSERT_FALSE(readTables(spanOf(built.bytes), tables));
    const RegionSpans spans = tableSpans(tables);
    const std::uint64_t pairsAt = built.indexBlockOffset + layout.indexWordCount * INDEX_WORD_SIZE;
    EXPECT_EQ(offsetIn(built.bytes, spanOf(spans, ReadRegion::Entries)), built.entryTableOffset);
    EXPECT_EQ(spanOf(spans, ReadRegion::Entries).size(), 4 * ENTRY_SIZE);
    EXPECT_EQ(offsetIn(built.bytes, spanOf(spans, ReadRegion::NamePairs)), pairsAt);
    EXPECT_EQ(spanOf(spans, ReadRegion::NamePairs).size(), 4 * NAME_PAIR_SIZE);
    EXPECT_EQ(spanOf(spans, ReadRegion::StringOffsets).size(),
              STRING_OFFSET_SIZE * tables.stringCount);
    const ByteSpan names = spanOf(spans, ReadRegion::Names);
    EXPECT_EQ(names.data(), tables.stringData);
    const bool namesLast = layout.order.back() == Region::Strings;
    EXPECT_EQ(offsetIn(built.bytes, names) + names.size(),
              namesLast ? built.bytes.size() : pairsAt);
    EXPECT_TRUE(spanOf(spans, ReadRegion::Streams).empty());
  }
}

TEST(ContainerView, TablesOutsideTheFileFailTheOpen) {
  struct Case {
    const char* what;
    void (*damage)(BuiltContainer&);
    OpenProblem problem;
  };
  const std::vector<Case> cases = {
      {"header cut short", [](BuiltContainer& c) { c.bytes.resize(HEADER_SIZE - 1); },
       OpenProblem::HeaderCutShort},
      {"string table past the end",
       [](BuiltContainer& c) { putU64(c.bytes, HEADER_STRING_TABLE_OFFSET, c.bytes.size() - 7); },
       OpenProblem::StringCountOutside},
      {"string table offset near 2^64",
       [](BuiltContainer& c) { putU64(c.bytes, HEADER_STRING_TABLE_OFFSET, ~0ull - 3); },
       OpenProblem::StringCountOutside},
      {"string count too large",
       [](BuiltContainer& c) { putU64(c.bytes, c.stringTableOffset, c.bytes.size()); },
       OpenProblem::StringOffsetsOutside},
      {"string count overflows",
       [](BuiltContainer& c) { putU64(c.bytes, c.stringTableOffset, (1ull << 61) + 1); },
       OpenProblem::StringOffsetsOutside},
      {"index words past the end",
       [](BuiltContainer& c) { putU32(c.bytes, HEADER_INDEX_WORD_COUNT, 0xFFFFFFFF); },
       OpenProblem::IndexBlockOutside},
      {"index block offset past the end",
       [](BuiltContainer& c) { putU64(c.bytes, HEADER_INDEX_BLOCK_OFFSET, ~0ull); },
       OpenProblem::IndexBlockOutside},
      {"huge entry count",
       [](BuiltContainer& c) { putU32(c.bytes, HEADER_ENTRY_COUNT, 0xFFFFFFFF); },
       OpenProblem::NameRecordsOutside},
      {"entry table past the end",
       [](BuiltContainer& c) { putU64(c.bytes, HEADER_ENTRY_TABLE_OFFSET, c.bytes.size() - 100); },
       OpenProblem::EntryTableOutside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuiltContainer built = buildContainer(sampleEntries());
    c.damage(built);
    ResourceTables tables;
    EXPECT_EQ(readTables(spanOf(built.bytes), tables), c.problem);
    EXPECT_EQ(tables.entries, nullptr);
  }
}

// Each case damages one entry; only that entry fails, the others are still found.
TEST(ContainerView, DamagedEntriesFailAlone) {
  struct Case {
    const char* what;
    void (*damage)(std::vector<ContainerEntry>&, ContainerLayout&);
    RecordProblem problem;
  };
  const std::vector<Case> cases = {
      {"name index past the string count",
       [](std::vector<ContainerEntry>& e, ContainerLayout&) { e[1].nameIndex = 99; },
       RecordProblem::NameIndexOutsideTable},
      {"name index near 2^64",
       [](std::vector<ContainerEntry>& e, ContainerLayout&) { e[1].nameIndex = ~0ull; },
       RecordProblem::NameIndexOutsideTable},
      {"stored bytes past the end",
       [](std::vector<ContainerEntry>& e, ContainerLayout&) { e[1].storedSize = 1ull << 40; },
       RecordProblem::StoredBytesOutsideFile},
      {"stored size wraps around",
       [](std::vector<ContainerEntry>& e, ContainerLayout&) {
         e[1].dataOffset = 8;
         e[1].storedSize = ~0ull - 4;
       },
       RecordProblem::StoredBytesOutsideFile},
      {"data offset past the end",
       [](std::vector<ContainerEntry>& e, ContainerLayout&) { e[1].dataOffset = 1ull << 50; },
       RecordProblem::StoredBytesOutsideFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ContainerEntry> entries = sampleEntries();
    ContainerLayout layout;
    c.damage(entries, layout);
    const Bytes container = buildContainer(entries, layout).bytes;
    ResourceTables tables;
    ASSERT_FALSE(readTables(spanOf(container), tables));
    EXPECT_EQ(problemOf(tables, 1), c.problem);
    EXPECT_EQ(problemOf(tables, 0), std::nullopt);
    EXPECT_EQ(problemOf(tables, 2), std::nullopt);
  }
}

TEST(ContainerView, NamesThatLeaveTheFileFailAlone) {
  // The last string runs to the end of the file with no NUL; another starts past the end.
  std::vector<ContainerEntry> entries = {storedEntry("kept", textBytes("x")),
                                         storedEntry("cut", textBytes("y")),
                                         storedEntry("far", textBytes("z"))};
  ContainerLayout layout;
  layout.order = {Region::Index, Region::Entries, Region::Data, Region::Strings};
  BuiltContainer built = buildContainer(entries, layout);
  built.bytes.pop_back();  // the NUL after "far"
  const std::uint64_t offsets = built.stringTableOffset + 8;
  putU64(built.bytes, offsets + 8, built.bytes.size());  // "cut" now starts beyond the data
  ResourceTables tables;
  ASSERT_FALSE(readTables(spanOf(built.bytes), tables));
  EXPECT_EQ(problemOf(tables, 0), std::nullopt);
  EXPECT_EQ(problemOf(tables, 1), RecordProblem::NameStartsOutsideFile);
  EXPECT_EQ(problemOf(tables, 2), RecordProblem::NameRunsPastFile);
}

}  // namespace
}  // namespace quarry
