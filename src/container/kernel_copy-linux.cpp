// Linux copies a file range without bringing the bytes up to the process.
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "base/write_all-posix.h"
#include "container/stored_copy-posix.h"

namespace quarry {
namespace {

using KernelCopy = ssize_t (*)(int from, loff_t* offset, int to, std::size_t length);

// Same file system: may share the blocks where the file system can.
ssize_t copyFileRange(int from, loff_t* offset, int to, std::size_t length) {
  return copy_file_range(from, offset, to, nullptr, length, 0);
}

// Works across file systems, where copy_file_range says EXDEV.
ssize_t sendFile(int from, loff_t* offset, int to, std::size_t length) {
  off_t position = *offset;
  const ssize_t copied = sendfile(to, from, &position, length);
  *offset = position;
  return copied;
}

constexpr KernelCopy KERNEL_COPIES[] = {copyFileRange, sendFile};

// Errors that mean "these two files cannot be copied this way", not "the copy failed".
bool copyRefused(int code) {
  return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EBADF ||
         code == ETXTBSY || code == ESPIPE;
}

// What copy answers, or nothing when this way is refused before a byte was copied.
std::optional<OsResult> copyWith(KernelCopy copy, int from, std::uint64_t offset,
                                 std::uint64_t length, int to) {
  auto position = static_cast<loff_t>(offset);
  bool copiedAny = false;
  while (length > 0) {
    const auto chunk = static_cast<std::size_t>(std::min(length, WRITE_CHUNK));
    const ssize_t copied = copy(from, &position, to, chunk);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 && !copiedAny && copyRefused(errno)) return std::nullopt;
    if (copied < 0) return lastOsFailure();
    if (copied == 0) return containerEndedEarly();
    copiedAny = true;
    length -= static_cast<std::uint64_t>(copied);
  }
  return OsResult{};
}

}  // namespace

std::optional<OsResult> copyInKernel(std::size_t& firstUsable, int from, std::uint64_t offset,
                                     std::uint64_t length, int to) {
  for (; firstUsable < std::size(KERNEL_COPIES); ++firstUsable) {
    const std::optional<OsResult> copied =
        copyWith(KERNEL_COPIES[firstUsable], from, offset, length, to);
    if (copied) return copied;
  }
  return std::nullopt;
}

}  // namespace quarry
