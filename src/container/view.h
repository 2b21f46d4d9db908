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

  std::uint64_t nameLength() const { return name.size(); }
};

// Finds the tables in bytes; on failure, tables is left empty.
std::optional<OpenProblem> readTables(ByteSpan bytes, ResourceTables& tables);

// Entry index of tables, which must be below entryCount; or what is wrong with its records.
std::optional<RecordProblem> entryAt(const ResourceTables& tables, std::uint64_t index,
                                     EntryRef& entry);

// The open container: its mapping and its tables.
struct ResourceView {
  MappedFile file;
  ResourceTables tables;
};

// Maps the file at path, exactly as given, and reads its tables.
std::optional<OpenFailure> openResourceView(const std::u16string& path, ResourceView& view);

// As above, counting what is read of the mapping, so its pages can be let go.
std::optional<RecordProblem> entryAt(ResourceView& view, std::uint64_t index, EntryRef& entry);

// The bytes of a found entry, as they lie in the container.
inline ByteSpan storedBytes(const ResourceView& view, const EntryRef& entry) {
  return view.tables.bytes.subspan(entry.dataOffset, entry.storedSize);
}

// Releases the mapped range, then the mapping handle, then the file handle.
void closeResourceView(ResourceView& view);

}  // namespace quarry
