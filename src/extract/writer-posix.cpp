#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "extract/text.h"
#include "extract/writer.h"

namespace quarry {
namespace {

// Writes everything or returns the error number.
int writeAll(int fd, const std::uint8_t* data, std::uint64_t length) {
  while (length > 0) {
    const auto chunk = static_cast<std::size_t>(std::min(length, WRITE_CHUNK));
    const ssize_t written = write(fd, data, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    data += written;
    length -= static_cast<std::uint64_t>(written);
  }
  return 0;
}

}  // namespace

int writeWholeFile(const std::u16string& path, const std::uint8_t* data, std::uint64_t length) {
  const std::string native = nativePosixPath(path);
  const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int code = writeAll(fd, data, length);
  if (close(fd) != 0 && code == 0) code = errno;
  if (code != 0) unlink(native.c_str());
  return code;
}

}  // namespace quarry
