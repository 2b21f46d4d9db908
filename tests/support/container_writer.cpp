#include "support/container_writer.h"

#include <fstream>
#include <map>
#include <stdexcept>

#include "container/layout.h"
#include "support/test_codec.h"

namespace quarry::testing {
namespace {

constexpr std::uint8_t HEADER_FILLER = 0xEE;
constexpr std::uint8_t GAP_FILLER = 0xA5;

struct StringTable {
  std::vector<std::string> strings;
  std::vector<std::uint64_t> nameIndexes;
};

StringTable collectStrings(const std::vector<ContainerEntry>& entries,
                           const ContainerLayout& layout) {
  StringTable table;
  std::map<std::string, std::uint64_t> seen;
  for (const ContainerEntry& entry : entries) {
    auto known = seen.find(entry.name);
    if (layout.shareNames && known != seen.end()) {
      table.nameIndexes.push_back(known->second);
      continue;
    }
    seen[entry.name] = table.strings.size();
    table.nameIndexes.push_back(table.strings.size());
    table.strings.push_back(entry.name);
  }
  for (const std::string& unused : layout.unusedStrings) table.strings.push_back(unused);
  return table;
}

Bytes stringTableBytes(const StringTable& table) {
  Bytes bytes(8 + 8 * table.strings.size());
  putU64(bytes, 0, table.strings.size());
  std::uint64_t offset = 0;
  Bytes data;
  for (std::size_t k = 0; k < table.strings.size(); ++k) {
    putU64(bytes, 8 + 8 * k, offset);
    data.insert(data.end(), table.strings[k].begin(), table.strings[k].end());
    data.push_back(0);
    offset = data.size();
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

Bytes indexBlockBytes(const std::vector<ContainerEntry>& entries, const StringTable& table,
                      std::uint32_t indexWordCount) {
  Bytes bytes(4 * std::uint64_t{indexWordCount} + NAME_PAIR_SIZE * entries.size(), 0x11);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const std::uint64_t at = 4 * std::uint64_t{indexWordCount} + NAME_PAIR_SIZE * k;
    putU64(bytes, at, 0x0123456789ABCDEFull + k);
    putU64(bytes, at + NAME_PAIR_NAME_INDEX, entries[k].nameIndex.value_or(table.nameIndexes[k]));
  }
  return bytes;
}

void appendRegion(Bytes& out, const ContainerLayout& layout, const Bytes& region,
                  std::uint64_t& offset) {
  out.insert(out.end(), layout.gap, GAP_FILLER);
  offset = out.size();
  out.insert(out.end(), region.begin(), region.end());
}

// The entry table needs the data offsets, so it is written last, into its reserved room.
void fillEntryTable(Bytes& out, std::uint64_t at, const std::vector<ContainerEntry>& entries,
                    const std::vector<std::uint64_t>& dataOffsets) {
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const std::uint64_t record = at + ENTRY_SIZE * k;
    const ContainerEntry& entry = entries[k];
    putU64(out, record + ENTRY_DATA_OFFSET, entry.dataOffset.value_or(dataOffsets[k]));
    putU64(out, record + ENTRY_STORED_SIZE, entry.storedSize.value_or(entry.stored.size()));
    putU64(out, record + ENTRY_FULL_SIZE, entry.fullSize);
    putU32(out, record + ENTRY_FLAGS, entry.flags);
  }
}

}  // namespace

ContainerEntry storedEntry(std::string name, Bytes content, std::uint32_t flags) {
  ContainerEntry entry;
  entry.name = std::move(name);
  entry.fullSize = content.size();
  entry.stored = std::move(content);
  entry.flags = flags;
  return entry;
}

ContainerEntry compressedEntry(std::string name, const Bytes& content, bool prefixed) {
  ContainerEntry entry;
  entry.name = std::move(name);
  entry.fullSize = content.size();
  if (prefixed) {
    entry.flags = FLAG_PREFIXED;
    entry.stored = textBytes("PREFIX-12by!");
  }
  const Bytes stream = encodeTestCodec(content.data(), content.size());
  entry.stored.insert(entry.stored.end(), stream.begin(), stream.end());
  // Equal sizes would mark the entry as stored; a trailing byte past the stream is ignored.
  if (entry.stored.size() == entry.fullSize) entry.stored.push_back(0);
  return entry;
}

BuiltContainer buildContainer(const std::vector<ContainerEntry>& entries,
                              const ContainerLayout& layout) {
  const StringTable strings = collectStrings(entries, layout);
  BuiltContainer built;
  built.nameIndexes = strings.nameIndexes;
  Bytes& out = built.bytes;
  out.assign(HEADER_SIZE, HEADER_FILLER);
  std::vector<std::uint64_t> dataOffsets(entries.size());
  for (Region region : layout.order) {
    if (region == Region::Strings) {
      appendRegion(out, layout, stringTableBytes(strings), built.stringTableOffset);
    } else if (region == Region::Index) {
      appendRegion(out, layout, indexBlockBytes(entries, strings, layout.indexWordCount),
                   built.indexBlockOffset);
    } else if (region == Region::Entries) {
      appendRegion(out, layout, Bytes(ENTRY_SIZE * entries.size(), 0x77), built.entryTableOffset);
    } else {
      for (std::size_t k = 0; k < entries.size(); ++k) {
        appendRegion(out, layout, entries[k].stored, dataOffsets[k]);
      }
    }
  }
  fillEntryTable(out, built.entryTableOffset, entries, dataOffsets);
  putU32(out, HEADER_ENTRY_COUNT, static_cast<std::uint32_t>(entries.size()));
  putU32(out, HEADER_INDEX_WORD_COUNT, layout.indexWordCount);
  putU64(out, HEADER_STRING_TABLE_OFFSET, built.stringTableOffset);
  putU64(out, HEADER_ENTRY_TABLE_OFFSET, built.entryTableOffset);
  putU64(out, HEADER_INDEX_BLOCK_OFFSET, built.indexBlockOffset);
  return built;
}

void putU32(Bytes& bytes, std::uint64_t offset, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes.at(offset + k) = static_cast<std::uint8_t>(value >> (8 * k));
}

void putU64(Bytes& bytes, std::uint64_t offset, std::uint64_t value) {
  putU32(bytes, offset, static_cast<std::uint32_t>(value));
  putU32(bytes, offset + 4, static_cast<std::uint32_t>(value >> 32));
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

Bytes readBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes textBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

}  // namespace quarry::testing
