#include "container/mapped_file.h"

#include <algorithm>
#include <utility>

namespace quarry {
namespace {

// How much may be read before every page of the container is let go again.
constexpr std::uint64_t RESIDENT_PAGES_LIMIT = std::uint64_t{16} << 20;
// A read can map in this much around it (Linux maps neighbours along on a page fault).
constexpr std::uint64_t PAGES_MAPPED_PER_READ = std::uint64_t{64} << 10;

}  // namespace

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    bytes_ = std::exchange(other.bytes_, ByteSpan{});
    file_ = std::exchange(other.file_, NO_HANDLE);
    mapping_ = std::exchange(other.mapping_, NO_HANDLE);
    guard_ = std::exchange(other.guard_, -1);
    readSinceRelease_ = std::exchange(other.readSinceRelease_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  release();
}

void MappedFile::noteRead(std::uint64_t length) {
  readSinceRelease_ += std::max(length, PAGES_MAPPED_PER_READ);
  if (readSinceRelease_ < RESIDENT_PAGES_LIMIT) return;
  releasePages(bytes_);
  readSinceRelease_ = 0;
}

}  // namespace quarry
