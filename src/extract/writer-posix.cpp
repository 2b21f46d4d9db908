#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "container/mapped_file.h"
#include "extract/text.h"
#include "extract/writer.h"

namespace quarry {
namespace {

// How much of a stored payload is written from the mapping before its pages are dropped, so
// the resident set stays small however large the payload is.
constexpr std::uint64_t MAPPED_SLICE = std::uint64_t{8} << 20;

constexpr int REFUSED = -1;

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

int writeFromMapping(int fd, const std::uint8_t* data, std::uint64_t length) {
  while (length > 0) {
    const std::uint64_t slice = std::min(length, MAPPED_SLICE);
    const int code = writeAll(fd, data, slice);
    releaseMappedPages(data, slice);
    if (code != 0) return code;
    data += slice;
    length -= slice;
  }
  return 0;
}

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

// The first kernel copy not refused yet. A refusal holds for the rest of the run: the bytes
// all come from one container and go below one folder.
std::size_t firstUsableCopy = 0;

// Errors that mean "these two files cannot be copied this way", not "the copy failed".
bool copyRefused(int code) {
  return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == EBADF ||
         code == ETXTBSY || code == ESPIPE;
}

// Copies the range with copy. Returns 0, the error number, or REFUSED when the kernel
// refused before anything was copied.
int copyWith(KernelCopy copy, FileRange source, int fd, std::uint64_t length) {
  auto offset = static_cast<loff_t>(source.offset);
  bool copiedAny = false;
  while (length > 0) {
    const auto chunk = static_cast<std::size_t>(std::min(length, WRITE_CHUNK));
    const ssize_t copied = copy(static_cast<int>(source.file), &offset, fd, chunk);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0) return !copiedAny && copyRefused(errno) ? REFUSED : errno;
    if (copied == 0) return EIO;  // the container shrank under us
    copiedAny = true;
    length -= static_cast<std::uint64_t>(copied);
  }
  return 0;
}

int copyInKernel(FileRange source, int fd, std::uint64_t length) {
  for (; firstUsableCopy < std::size(KERNEL_COPIES); ++firstUsableCopy) {
    const int code = copyWith(KERNEL_COPIES[firstUsableCopy], source, fd, length);
    if (code != REFUSED) return code;
  }
  return REFUSED;
}

int writeContent(int fd, const std::uint8_t* data, std::uint64_t length, FileRange source) {
  if (source.file < 0) return writeAll(fd, data, length);
  const int copied = copyInKernel(source, fd, length);
  return copied != REFUSED ? copied : writeFromMapping(fd, data, length);
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
