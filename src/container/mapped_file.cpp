#include "container/mapped_file.h"

#include <utility>

namespace quarry {

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    bytes_ = std::exchange(other.bytes_, ByteSpan{});
    file_ = std::exchange(other.file_, NO_HANDLE);
    mapping_ = std::exchange(other.mapping_, NO_HANDLE);
    guard_ = std::exchange(other.guard_, -1);
  }
  return *this;
}

}  // namespace quarry
