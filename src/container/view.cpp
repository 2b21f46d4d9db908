#include "container/view.h"

#include <algorithm>
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

const char* readStringTable(ByteSpan bytes, std::uint64_t offset, ResourceTables& tables) {
  if (!rangeFits(offset, STRING_COUNT_SIZE, bytes.size)) {
    return "The string table's count lies outside the file";
  }
  tables.stringCount = readU64(bytes.data + offset);
  const std::uint64_t offsetsAt = offset + STRING_COUNT_SIZE;
  std::uint64_t dataAt = 0;
  if (!arrayFits(offsetsAt, tables.stringCount, STRING_OFFSET_SIZE, bytes.size, dataAt)) {
    return "The string table's offsets lie outside the file";
  }
  tables.stringOffsets = bytes.data + offsetsAt;
  tables.stringData = bytes.data + dataAt;
  return nullptr;
}

const char* readNamePairs(ByteSpan bytes, const TableOffsets& at, ResourceTables& tables) {
  std::uint64_t pairsAt = 0;
  if (!arrayFits(at.indexBlock, at.indexWordCount, INDEX_WORD_SIZE, bytes.size, pairsAt)) {
    return "The index block lies outside the file";
  }
  std::uint64_t end = 0;
  if (!arrayFits(pairsAt, tables.entryCount, NAME_PAIR_SIZE, bytes.size, end)) {
    return "The index block's name records lie outside the file";
  }
  tables.namePairs = bytes.data + pairsAt;
  return nullptr;
}

const char* readEntryTable(ByteSpan bytes, std::uint64_t offset, ResourceTables& tables) {
  std::uint64_t end = 0;
  if (!arrayFits(offset, tables.entryCount, ENTRY_SIZE, bytes.size, end)) {
    return "The entry table lies outside the file";
  }
  tables.entries = bytes.data + offset;
  return nullptr;
}

const char* readAllTables(ByteSpan bytes, ResourceTables& tables) {
  if (bytes.data == nullptr || bytes.size < HEADER_SIZE) return "The header is cut short";
  tables.bytes = bytes;
  tables.entryCount = readU32(bytes.data + HEADER_ENTRY_COUNT);
  TableOffsets at;
  at.indexWordCount = readU32(bytes.data + HEADER_INDEX_WORD_COUNT);
  at.stringTable = readU64(bytes.data + HEADER_STRING_TABLE_OFFSET);
  at.entryTable = readU64(bytes.data + HEADER_ENTRY_TABLE_OFFSET);
  at.indexBlock = readU64(bytes.data + HEADER_INDEX_BLOCK_OFFSET);
  if (const char* problem = readStringTable(bytes, at.stringTable, tables)) return problem;
  if (const char* problem = readNamePairs(bytes, at, tables)) return problem;
  return readEntryTable(bytes, at.entryTable, tables);
}

// Finds the entry's name; returns what is wrong with it, or nothing.
std::optional<EntryProblem> findName(const ResourceTables& tables, std::uint64_t index,
                                     EntryRef& entry) {
  const std::uint64_t nameIndex =
      readU64(tables.namePairs + NAME_PAIR_SIZE * index + NAME_PAIR_NAME_INDEX);
  if (nameIndex >= tables.stringCount) return EntryProblem::NameIndexOutsideTable;
  const std::uint64_t stringOffset = readU64(tables.stringOffsets + STRING_OFFSET_SIZE * nameIndex);
  const auto dataAt = static_cast<std::uint64_t>(tables.stringData - tables.bytes.data);
  const std::uint64_t room = tables.bytes.size - dataAt;
  if (stringOffset >= room) return EntryProblem::NameStartsOutsideFile;
  const char* name = reinterpret_cast<const char*>(tables.stringData + stringOffset);
  const void* end = std::memchr(name, 0, room - stringOffset);
  if (end == nullptr) return EntryProblem::NameRunsPastFile;
  entry.name = name;
  entry.nameLength = static_cast<std::uint64_t>(static_cast<const char*>(end) - name);
  return std::nullopt;
}

}  // namespace

const char* readTables(ByteSpan bytes, ResourceTables& tables) {
  const char* problem = readAllTables(bytes, tables);
  if (problem != nullptr) tables = ResourceTables{};
  return problem;
}

EntryLookup entryAt(const ResourceTables& tables, std::uint64_t index) {
  EntryLookup found;
  const std::uint8_t* record = tables.entries + ENTRY_SIZE * index;
  found.entry.dataOffset = readU64(record + ENTRY_DATA_OFFSET);
  found.entry.storedSize = readU64(record + ENTRY_STORED_SIZE);
  found.entry.fullSize = readU64(record + ENTRY_FULL_SIZE);
  found.entry.flags = readU32(record + ENTRY_FLAGS);
  std::optional<EntryProblem> problem = findName(tables, index, found.entry);
  if (!problem && !rangeFits(found.entry.dataOffset, found.entry.storedSize, tables.bytes.size)) {
    problem = EntryProblem::StoredBytesOutsideFile;
  }
  if (problem) found.failure = EntryFailure{*problem};
  return found;
}

bool openResourceView(const std::u16string& path, ResourceView& view, std::string& why) {
  if (!mapWholeFile(path, view.file, why)) return false;
  if (const char* problem = readTables(view.file.bytes(), view.tables)) {
    why = problem;
    view.file.release();
    return false;
  }
  return true;
}

void noteContainerRead(const ResourceView& view, ResidentPages& pages, std::uint64_t length) {
  pages.readSinceRelease += std::max(length, PAGES_MAPPED_PER_READ);
  if (pages.readSinceRelease < RESIDENT_PAGES_LIMIT) return;
  releaseMappedPages(view.tables.bytes.data, view.tables.bytes.size);
  pages.readSinceRelease = 0;
}

void closeResourceView(ResourceView& view) {
  view.tables = ResourceTables{};
  view.file.release();
}

}  // namespace quarry
