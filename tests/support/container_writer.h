// Writes resources containers for the tests: every layout knob the reader must cope with
// (index words, tables in any order at unaligned offsets, shared names, flags, gaps), and
// hooks to damage the result.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarry::testing {

using Bytes = std::vector<std::uint8_t>;

struct ContainerEntry {
  std::string name;
  Bytes stored;  // the bytes kept in the container for this entry
  std::uint64_t fullSize = 0;
  std::uint32_t flags = 0;
  // Overrides that damage the entry: used as written instead of the real values.
  std::optional<std::uint64_t> nameIndex;
  std::optional<std::uint64_t> dataOffset;
  std::optional<std::uint64_t> storedSize;
};

// An entry kept verbatim.
ContainerEntry storedEntry(std::string name, Bytes content, std::uint32_t flags = 0);

// An entry compressed with the test codec; prefixed puts 12 opaque bytes before the stream.
ContainerEntry compressedEntry(std::string name, const Bytes& content, bool prefixed = false);

enum class Region { Strings, Index, Entries, Data };

struct ContainerLayout {
  std::uint32_t indexWordCount = 0;
  std::vector<Region> order{Region::Strings, Region::Index, Region::Entries, Region::Data};
  std::uint64_t gap = 0;   // filler bytes before every region; odd values unalign them
  bool shareNames = true;  // equal names share one string
  std::vector<std::string> unusedStrings;  // strings that no entry names
};

// The container and where its parts ended up, for tests that damage it.
struct BuiltContainer {
  Bytes bytes;
  std::uint64_t stringTableOffset = 0;
  std::uint64_t indexBlockOffset = 0;
  std::uint64_t entryTableOffset = 0;
  std::vector<std::uint64_t> nameIndexes;  // per entry
};

BuiltContainer buildContainer(const std::vector<ContainerEntry>& entries,
                              const ContainerLayout& layout = {});

void putU32(Bytes& bytes, std::uint64_t offset, std::uint32_t value);
void putU64(Bytes& bytes, std::uint64_t offset, std::uint64_t value);

void writeBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes readBytes(const std::filesystem::path& path);
Bytes textBytes(std::string_view text);

}  // namespace quarry::testing
