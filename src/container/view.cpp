#include "container/view.h"

#include <cstring>

namespace quarry {
namespace {

struct TableOffsets {
  std::uint64_t stringTable = 0;
  std::uint64_t entryTable = 0;
  std::uint64_t indexBlock = 0;
  std::uint32_t indexWordCount = 0;
};

// Sets start to the offset just past an array of count records of recordSize bytes at
// offset, or returns false when the array does not fit in the file.
bool arrayFits(std::uint64_t offset, std::uint64_t count, std::uint64_t recordSize,
               std::uint64_t fileSize, std::uint64_t& end) {
  std::uint64_t length = 0;
  if (!multiplyFits(count, recordSize, length) || !rangeFits(offset, length, fileSize)) {
    return false;
  }
  end = offset + length;
  return true;
}

std::optional<OpenProblem> readStringTable(ByteSpan bytes, std::uint64_t offset,
                                           ResourceTables& tables) {
  if (!rangeFits(offset, STRING_COUNT_SIZE, bytes.size())) return OpenProblem::StringCountOutside;
  tables.stringCount = readU64(bytes.data() + offset);
  const std::uint64_t offsetsAt = offset + STRING_COUNT_SIZE;
  std::uint64_t dataAt = 0;
  if (!arrayFits(offsetsAt, tables.stringCount, STRING_OFFSET_SIZE, bytes.size(), dataAt)) {
    return OpenProblem::StringOffsetsOutside;
  }
  tables.stringOffsets = bytes.data() + offsetsAt;
  tables.stringData = bytes.data() + dataAt;
  return std::nullopt;
}

std::optional<OpenProblem> readNamePairs(ByteSpan bytes, const TableOffsets& at,
                                         ResourceTables& tables) {
  std::uint64_t pairsAt = 0;
  if (!arrayFits(at.indexBlock, at.indexWordCount, INDEX_WORD_SIZE, bytes.size(), pairsAt)) {
    return OpenProblem::IndexBlockOutside;
  }
  std::uint64_t end = 0;
  if (!arrayFits(pairsAt, tables.entryCount, NAME_PAIR_SIZE, bytes.size(), end)) {
    return OpenProblem::NameRecordsOutside;
  }
  tables.namePairs = bytes.data() + pairsAt;
  return std::nullopt;
}

std::optional<OpenProblem> readEntryTable(ByteSpan bytes, std::uint64_t offset,
                                          ResourceTables& tables) {
  std::uint64_t end = 0;
  if (!arrayFits(offset, tables.entryCount, ENTRY_SIZE, bytes.size(), end)) {
    return OpenProblem::EntryTableOutside;
  }
  tables.entries = bytes.data() + offset;
  return std::nullopt;
}

// Where the header says the tables are; the caller has checked that the header is there.
TableOffsets tableOffsetsOf(ByteSpan bytes) {
  TableOffsets at;
  at.indexWordCount = readU32(bytes.data() + HEADER_INDEX_WORD_COUNT);
  at.stringTable = readU64(bytes.data() + HEADER_STRING_TABLE_OFFSET);
  at.entryTable = readU64(bytes.data() + HEADER_ENTRY_TABLE_OFFSET);
  at.indexBlock = readU64(bytes.data() + HEADER_INDEX_BLOCK_OFFSET);
  return at;
}

// Finds the entry's name; returns what is wrong with it, or nothing.
std::optional<RecordProblem> findName(const ResourceTables& tables, std::uint64_t index,
                                      EntryRef& entry) {
  const std::uint64_t nameIndex =
      readU64(tables.namePairs + NAME_PAIR_SIZE * index + NAME_PAIR_NAME_INDEX);
  if (nameIndex >= tables.stringCount) return RecordProblem::NameIndexOutsideTable;
  const std::uint64_t stringOffset = readU64(tables.stringOffsets + STRING_OFFSET_SIZE * nameIndex);
  const auto dataAt = static_cast<std::uint64_t>(tables.stringData - tables.bytes.data());
  const std::uint64_t room = tables.bytes.size() - dataAt;
  if (stringOffset >= room) return RecordProblem::NameStartsOutsideFile;
  const char* name = reinterpret_cast<const char*>(tables.stringData + stringOffset);
  const void* end = std::memchr(name, 0, room - stringOffset);
  if (end == nullptr) return RecordProblem::NameRunsPastFile;
  entry.name =
      std::string_view(name, static_cast<std::size_t>(static_cast<const char*>(end) - name));
  return std::nullopt;
}

// Where the names most likely end: at the next table after the string data, or at the end of
// the file when none follows it.
const std::uint8_t* namesEnd(const ResourceTables& tables) {
  const std::uint8_t* end = tables.bytes.data() + tables.bytes.size();
  for (const std::uint8_t* table : {tables.namePairs, tables.entries, tables.stringOffsets}) {
    if (table > tables.stringData && table < end) end = table;
  }
  return end;
}

}  // namespace

std::optional<OpenProblem> readTables(ByteSpan bytes, ResourceTables& tables) {
  tables = ResourceTables{};
  if (bytes.size() < HEADER_SIZE) return OpenProblem::HeaderCutShort;
  ResourceTables read;
  read.bytes = bytes;
  read.entryCount = readU32(bytes.data() + HEADER_ENTRY_COUNT);
  const TableOffsets at = tableOffsetsOf(bytes);
  std::optional<OpenProblem> problem = readStringTable(bytes, at.stringTable, read);
  if (!problem) problem = readNamePairs(bytes, at, read);
  if (!problem) problem = readEntryTable(bytes, at.entryTable, read);
  if (!problem) tables = read;
  return problem;
}

std::optional<RecordProblem> entryAt(const ResourceTables& tables, std::uint64_t index,
                                     EntryRef& entry) {
  const std::uint8_t* record = tables.entries + ENTRY_SIZE * index;
  entry.dataOffset = readU64(record + ENTRY_DATA_OFFSET);
  entry.storedSize = readU64(record + ENTRY_STORED_SIZE);
  entry.fullSize = readU64(record + ENTRY_FULL_SIZE);
  entry.flags = readU32(record + ENTRY_FLAGS);
  if (auto problem = findName(tables, index, entry)) return problem;
  if (!rangeFits(entry.dataOffset, entry.storedSize, tables.bytes.size())) {
    return RecordProblem::StoredBytesOutsideFile;
  }
  return std::nullopt;
}

std::optional<OpenFailure> openResourceView(const std::u16string& path, ResourceView& view) {
  if (auto failure = mapWholeFile(path, view.file)) return failure;
  if (auto problem = readTables(view.file.bytes(), view.tables)) {
    view.file = MappedFile{};  // its owner lets the mapping and the file go
    return OpenFailure(*problem);
  }
  // The tables are walked a record at a time all through the run; a fault in them should map
  // what is about to be read, not megabytes around it.
  view.file.boundFaults(tableSpans(view.tables));
  // Reading the header, before those bounds, may have mapped megabytes around it: a run keeps
  // every container open, and they all would stay.
  view.file.letPagesGo();
  return std::nullopt;
}

RegionSpans tableSpans(const ResourceTables& tables) {
  RegionSpans spans{};
  const std::uint64_t count = tables.entryCount;
  spanOf(spans, ReadRegion::Entries) = ByteSpan(tables.entries, ENTRY_SIZE * count);
  spanOf(spans, ReadRegion::NamePairs) = ByteSpan(tables.namePairs, NAME_PAIR_SIZE * count);
  spanOf(spans, ReadRegion::StringOffsets) =
      ByteSpan(tables.stringOffsets, STRING_OFFSET_SIZE * tables.stringCount);
  spanOf(spans, ReadRegion::Names) = ByteSpan(tables.stringData, namesEnd(tables));
  return spans;
}

RegionSpans entryFootprint(const ResourceTables& tables, std::uint64_t index, const EntryRef& entry,
                           StreamRead stream) {
  RegionSpans reads{};
  spanOf(reads, ReadRegion::Entries) = ByteSpan(tables.entries + ENTRY_SIZE * index, ENTRY_SIZE);
  const std::uint8_t* pair = tables.namePairs + NAME_PAIR_SIZE * index;
  spanOf(reads, ReadRegion::NamePairs) = ByteSpan(pair, NAME_PAIR_SIZE);
  if (entry.name.data() != nullptr) {
    const std::uint64_t nameIndex = readU64(pair + NAME_PAIR_NAME_INDEX);
    spanOf(reads, ReadRegion::StringOffsets) =
        ByteSpan(tables.stringOffsets + STRING_OFFSET_SIZE * nameIndex, STRING_OFFSET_SIZE);
    const auto* name = reinterpret_cast<const std::uint8_t*>(entry.name.data());
    spanOf(reads, ReadRegion::Names) = ByteSpan(name, entry.name.size() + 1);
  }
  if (stream == StreamRead::Yes) {
    spanOf(reads, ReadRegion::Streams) = tables.bytes.subspan(entry.dataOffset, entry.storedSize);
  }
  return reads;
}

}  // namespace quarry
