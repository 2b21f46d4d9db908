#include "container/mapped_file.h"

#include <algorithm>
#include <utility>

namespace quarry {
namespace {

// How far a region's reads may spread before the pages under them are let go.
constexpr std::uint64_t READ_WINDOW = std::uint64_t{256} << 10;
// A page fault maps this much around it when it can (Linux's fault-around).
constexpr std::uint64_t FAULT_AROUND = std::uint64_t{64} << 10;

}  // namespace

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    bytes_ = std::exchange(other.bytes_, ByteSpan{});
    mapping_ = std::move(other.mapping_);
    file_ = std::move(other.file_);
    guard_ = std::exchange(other.guard_, -1);
    std::swap(read_, other.read_);
    firstUsableKernelCopy_ = std::exchange(other.firstUsableKernelCopy_, 0);
    copyBuffer_ = std::move(other.copyBuffer_);
  }
  return *this;
}

MappedFile::~MappedFile() {
  release();
}

void MappedFile::noteEntryDone(const RegionSpans& reads) {
  if (bytes_.empty()) return;  // tables read from memory, not from a mapping
  for (std::size_t region = 0; region < READ_REGION_COUNT; ++region) {
    if (!reads[region].empty()) noteRead(read_[region], reads[region]);
  }
}

void MappedFile::letPagesGo() {
  if (!bytes_.empty()) releasePages(0, bytes_.size());
  read_ = {};
}

void MappedFile::noteRead(ReadSpan& span, ByteSpan range) {
  const auto offset = static_cast<std::uint64_t>(range.data() - bytes_.data());
  span.low = std::min(span.low, offset);
  span.high = std::max(span.high, offset + range.size());
  if (span.high - span.low < READ_WINDOW) return;
  const std::uint64_t low = span.low > FAULT_AROUND ? span.low - FAULT_AROUND : 0;
  releasePages(low, std::min(span.high + FAULT_AROUND, std::uint64_t{bytes_.size()}));
  span = ReadSpan{};
}

}  // namespace quarry
