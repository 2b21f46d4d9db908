#include "base/write_all-posix.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quarry {

OsResult writeAll(int fd, ByteSpan bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), WRITE_CHUNK));
    const ssize_t written = write(fd, bytes.data(), chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return lastOsFailure();
    if (written == 0) return OsResult{EIO};
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace quarry
