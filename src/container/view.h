// The container view: where the tables of a resources container lie, checked against the
// file's size, and one EntryRef per entry index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "container/layout.h"
#include "container/mapped_file.h"
#include "container/problems.h"

namespace quarry {

// Positions of the tables inside the container's bytes; every range has been checked to lie
// inside them.
struct ResourceTables {
  ByteSpan bytes;
  std::uint32_t entryCount = 0;
  std::uint64_t stringCount = 0;
  const std::uint8_t* stringOffsets = nullptr;
  const std::uint8_t* stringData = nullptr;
  const std::uint8_t* namePairs = nullptr;
  const std::uint8_t* entries = nullptr;
};

// One entry. name lies in the container, where a NUL follows it.
struct EntryRef {
  std::string_view name;
  std::uint64_t dataOffset = 0;
  std::uint64_t storedSize = 0;
  std::uint64_t fullSize = 0;
  std::uint32_t flags = 0;
};

// Finds the tables in bytes; on failure, tables is left empty.
std::optional<OpenProblem> readTables(ByteSpan bytes, ResourceTables& tables);

// Entry index of tables, which must be below entryCount; or what is wrong with its records.
std::optional<RecordProblem> entryAt(const ResourceTables& tables, std::uint64_t index,
                                     EntryRef& entry);

// The open container: its mapping and its tables. It closes as it goes out of scope: the
// mapped range, then the mapping handle, then the file handle, by their owner.
struct ResourceView {
  MappedFile file;
  ResourceTables tables;
};

// Maps the file at path, exactly as given, and reads its tables.
std::optional<OpenFailure> openResourceView(const std::u16string& path, ResourceView& view);

// Where the tables lie in the container's bytes, region by region (no Streams).
RegionSpans tableSpans(const ResourceTables& tables);

// Whether an entry's stored bytes were read in the process (a decoded entry's are).
enum class StreamRead : bool { No, Yes };

// What reading entry index touched of the container: its record, its name pair, and once its
// name was found, the name's offset and the name with the NUL after it; its stored bytes when
// stream says so. entry is what entryAt found, its stored range checked when it was read.
RegionSpans entryFootprint(const ResourceTables& tables, std::uint64_t index, const EntryRef& entry,
                           StreamRead stream);

// Once an entry is done, tells the container's owner what reading it touched, so that the
// pages under what the run has passed can go. Allocates nothing: once per entry of the run.
inline void noteEntryDone(ResourceView& view, std::uint64_t index, const EntryRef& entry,
                          StreamRead stream) {
  view.file.noteEntryDone(entryFootprint(view.tables, index, entry, stream));
}

// The bytes of a found entry, as they lie in the container.
inline ByteSpan storedBytes(const ResourceView& view, const EntryRef& entry) {
  return view.tables.bytes.subspan(entry.dataOffset, entry.storedSize);
}

}  // namespace quarry
