#include "base/write_all.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace quarry {

int writeAll(int fd, ByteSpan bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), WRITE_CHUNK));
    const ssize_t written = write(fd, bytes.data(), chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace quarry
