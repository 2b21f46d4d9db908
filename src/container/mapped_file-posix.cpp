#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "container/mapped_file.h"
#include "extract/text.h"

namespace quarry {
namespace {

std::string reasonFor(const std::u16string& path, const std::string& what) {
  return "Cannot open " + pathForMessage(path) + ": " + what;
}

bool mapOpenFile(int fd, const std::u16string& path, ByteSpan& bytes, std::string& why) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    why = reasonFor(path, std::strerror(errno));
    return false;
  }
  if (S_ISDIR(status.st_mode) || !S_ISREG(status.st_mode)) {
    why = reasonFor(path, S_ISDIR(status.st_mode) ? "it is a directory" : "not a regular file");
    return false;
  }
  if (status.st_size == 0) {
    why = reasonFor(path, "the file is empty");
    return false;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (base == MAP_FAILED) {
    why = reasonFor(path, std::strerror(errno));
    return false;
  }
  bytes = {static_cast<const std::uint8_t*>(base), size};
  return true;
}

}  // namespace

void releaseMappedPages(const std::uint8_t* data, std::uint64_t length) {
  // Every page the range touches; a neighbour's bytes on the same page come back from the
  // page cache when they are read.
  if (length == 0) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t start = first & ~(page - 1);
  const std::uintptr_t end = (first + length + page - 1) & ~(page - 1);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

void MappedFile::release() {
  if (bytes_.data != nullptr) munmap(const_cast<std::uint8_t*>(bytes_.data), bytes_.size);
  if (file_ != NO_HANDLE) close(static_cast<int>(file_));
  bytes_ = {};
  file_ = NO_HANDLE;
}

bool mapWholeFile(const std::u16string& path, MappedFile& out, std::string& why) {
  out.release();
  const int fd = open(nativePosixPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = reasonFor(path, std::strerror(errno));
    return false;
  }
  ByteSpan bytes;
  if (!mapOpenFile(fd, path, bytes, why)) {
    close(fd);
    return false;
  }
  out.bytes_ = bytes;
  out.file_ = fd;
  return true;
}

}  // namespace quarry
