// The container view: where the tables of a resources container lie, checked against the
// file's size, and one EntryRef per entry index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.h"
#include "container/layout.h"
#include "container/mapped_file.h"

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

// One entry. name points into the container and is NUL-terminated there.
struct EntryRef {
  const char* name = nullptr;
  std::uint64_t nameLength = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t storedSize = 0;
  std::uint64_t fullSize = 0;
  std::uint32_t flags = 0;
};

// An entry, or what is wrong with its records.
struct EntryLookup {
  EntryRef entry;
  std::optional<EntryFailure> failure;
};

// Finds the tables in bytes. Returns nullptr, or the sentence that says which table does not
// fit (then tables is left empty).
const char* readTables(ByteSpan bytes, ResourceTables& tables);

// Entry index of tables; index must be below entryCount.
EntryLookup entryAt(const ResourceTables& tables, std::uint64_t index);

// The open container: its mapping and its tables.
struct ResourceView {
  MappedFile file;
  ResourceTables tables;
};

// Maps the file at path and reads its tables. On failure why says what went wrong.
bool openResourceView(const std::u16string& path, ResourceView& view, std::string& why);

inline EntryLookup entryAt(const ResourceView& view, std::uint64_t index) {
  return entryAt(view.tables, index);
}

// The bytes of a found entry, as they lie in the container.
inline const std::uint8_t* storedBytes(const ResourceView& view, const EntryRef& entry) {
  return view.tables.bytes.data + entry.dataOffset;
}

// What the run has read of the container since its pages were last let go. Reading maps the
// pages in, and the system maps their neighbours along, so without letting go the resident
// set would grow towards the container's size.
struct ResidentPages {
  std::uint64_t readSinceRelease = 0;
};

// How much may be read before every page of the container is let go again.
constexpr std::uint64_t RESIDENT_PAGES_LIMIT = std::uint64_t{16} << 20;
// A read can map in this much around it (Linux maps neighbours along on a page fault).
constexpr std::uint64_t PAGES_MAPPED_PER_READ = std::uint64_t{64} << 10;

// Counts a read of length bytes (at least a window's worth); past the limit, lets go of every
// page of the container.
void noteContainerRead(const ResourceView& view, ResidentPages& pages, std::uint64_t length);

// Releases the mapped range, then the mapping handle, then the file handle.
void closeResourceView(ResourceView& view);

}  // namespace quarry
