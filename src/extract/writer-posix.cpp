#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "container/mapped_file.h"
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

// Errors that mean "this pair of files cannot be copied in the kernel", not "the copy failed".
bool copyRefused(int code) {
  return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EBADF ||
         code == ETXTBSY;
}

// Copies the range in the kernel. Returns 0, the error number, or -1 when the kernel refused
// before anything was copied (the caller then writes from memory).
int copyInKernel(FileRange source, int fd, std::uint64_t length) {
  auto offset = static_cast<loff_t>(source.offset);
  bool copiedAny = false;
  while (length > 0) {
    const auto chunk = static_cast<std::size_t>(std::min(length, WRITE_CHUNK));
    const ssize_t copied =
        copy_file_range(static_cast<int>(source.file), &offset, fd, nullptr, chunk, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0) return !copiedAny && copyRefused(errno) ? -1 : errno;
    if (copied == 0) return EIO;  // the container shrank under us
    copiedAny = true;
    length -= static_cast<std::uint64_t>(copied);
  }
  return 0;
}

int writeContent(int fd, const std::uint8_t* data, std::uint64_t length, FileRange source) {
  if (source.file < 0) return writeAll(fd, data, length);
  const int copied = copyInKernel(source, fd, length);
  if (copied != -1) return copied;
  const int written = writeAll(fd, data, length);
  releaseMappedPages(data, length);  // written pages of the mapping are not needed again
  return written;
}

}  // namespace

int writeWholeFile(const std::u16string& path, const std::uint8_t* data, std::uint64_t length,
                   FileRange source) {
  const std::string native = nativePosixPath(path);
  const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int code = writeContent(fd, data, length, source);
  if (close(fd) != 0 && code == 0) code = errno;
  if (code != 0) unlink(native.c_str());
  return code;
}

}  // namespace quarry
