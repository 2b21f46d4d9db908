#include "extract/stored_copy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/write_all.h"

namespace quarry {
namespace {

// Read and written at a time when the kernel cannot copy: large enough that the calls cost
// nothing next to the bytes, small enough to stay in the processor's caches.
constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20;

}  // namespace

StoredCopy::StoredCopy() = default;
StoredCopy::~StoredCopy() = default;

int StoredCopy::throughBuffer(int from, std::uint64_t offset, std::uint64_t length, int to,
                              SourceState& source) {
  if (!buffer_) buffer_ = std::make_unique<std::uint8_t[]>(BUFFER_SIZE);
  while (length > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, BUFFER_SIZE));
    const ssize_t got = pread(from, buffer_.get(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) {
      source = SourceState::EndedEarly;
      return EIO;
    }
    const auto size = static_cast<std::size_t>(got);
    if (const int code = writeAll(to, ByteSpan(buffer_.get(), size))) return code;
    offset += size;
    length -= size;
  }
  return 0;
}

int StoredCopy::copy(int from, std::uint64_t offset, std::uint64_t length, int to,
                     SourceState& source) {
  source = SourceState::Whole;
  const int copied = copyInKernel(firstUsableKernelCopy_, from, offset, length, to, source);
  if (copied != KERNEL_COPY_REFUSED) return copied;
  return throughBuffer(from, offset, length, to, source);
}

#ifndef QUARRY_KERNEL_COPY
// Where the kernel has no copy of its own (or it is left out to test what other systems run).
int copyInKernel(std::size_t&, int, std::uint64_t, std::uint64_t, int, SourceState&) {
  return KERNEL_COPY_REFUSED;
}
#endif

}  // namespace quarry
