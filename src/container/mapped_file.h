// A whole file mapped read-only: the one owner of the file handle, the mapping handle and the
// mapped range.
#pragma once

#include <cstdint>
#include <string>

#include "container/layout.h"

namespace quarry {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept { *this = std::move(other); }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { release(); }

  ByteSpan bytes() const { return bytes_; }
  // The open file's descriptor (POSIX) or handle (Windows), for in-kernel copies.
  std::intptr_t fileHandle() const { return file_; }
  // Unmaps the range, then closes the mapping handle, then the file handle.
  void release();

  // True once the file was found cut short while mapped (another program truncated it). The
  // bytes past its new end then read as zeros: whatever was read after that is not to be
  // trusted. Windows' share mode keeps others from writing the file, so it never happens there.
  bool shrank() const;
  // Records that a read through the file found it shorter than the mapping.
  void markShrunk() const;
  // Asks the system whether the file is still as long as the mapping; a cut that left the
  // last page partly in the file raises no fault, so the run asks at its end and whenever
  // an entry fails. Records and returns the answer.
  bool confirmWhole() const;

  // Opens an existing, non-empty regular file for reading and maps all of it. On failure
  // returns false with the reason, the path included, and holds nothing.
  friend bool mapWholeFile(const std::u16string& path, MappedFile& out, std::string& why);

 private:
  static constexpr std::intptr_t NO_HANDLE = -1;
  ByteSpan bytes_{};
  std::intptr_t file_ = NO_HANDLE;
  std::intptr_t mapping_ = NO_HANDLE;  // Windows only
  int guard_ = -1;                     // POSIX: the slot that watches the mapping for SIGBUS
};

bool mapWholeFile(const std::u16string& path, MappedFile& out, std::string& why);

// Tells the system that these bytes of a file mapping will not be read again, so the pages
// that hold them leave the resident set; read again, they come back from the file. Only for
// a read-only file mapping: on other memory it would discard data. Does nothing on Windows.
void releaseMappedPages(const std::uint8_t* data, std::uint64_t length);

}  // namespace quarry
