// The container's bytes: the one owner of its file handle, its mapping and the mapped range,
// of letting the mapped pages go once read, and of noticing when another program cuts the
// file short while it is mapped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/unique_os_handle.h"
#include "container/problems.h"

namespace quarry {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept { *this = std::move(other); }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  // Unmaps the range; the mapping handle, then the file handle, close after it.
  ~MappedFile();

  ByteSpan bytes() const { return bytes_; }
  // The open file's descriptor (POSIX) or handle (Windows), for copying ranges in the kernel.
  std::intptr_t fileHandle() const;

  // The parts of a container that are read in their own order, each mostly front to back.
  enum class Region : std::uint8_t { Entries, NamePairs, StringOffsets, Names, Streams, COUNT };
  // Notes that range, inside the mapping, was read as part of region. Once a region's reads
  // span a window, the pages under them are let go, so the resident set stays small however
  // large the container; read again, the pages come back from the file.
  void noteRead(Region region, ByteSpan range);
  // Keeps one page fault in region from mapping much more than the read needs, so that
  // letting pages go as the region is read keeps the resident set small.
  void boundFaults(ByteSpan region) const;

  // Asks the system whether the file is still as long as the mapping, and raises the stop
  // (StopCause::ContainerCutShort) when another program cut it short. A read past the new end
  // raises it as it faults, the bytes there reading as zeros; a cut that left the last page
  // partly in the file faults nowhere, so the run asks at its end and whenever an entry
  // fails. Windows' share mode keeps others from writing the file, so it never happens there.
  void confirmWhole() const;

  // Opens an existing, non-empty regular file for reading and maps all of it; out then owns
  // it. On failure out holds nothing.
  friend std::optional<OpenFailure> mapWholeFile(const std::u16string& path, MappedFile& out);

 private:
  void release();

  ByteSpan bytes_{};
  UniqueOsHandle file_;
  UniqueOsHandle mapping_;  // Windows only
  int guard_ = -1;          // POSIX: the slot that watches the mapping for SIGBUS

  // Offsets of the lowest and highest bytes read in a region since its pages were let go.
  struct ReadSpan {
    std::uint64_t low = UINT64_MAX;
    std::uint64_t high = 0;
  };
  ReadSpan read_[static_cast<std::size_t>(Region::COUNT)];
  void releasePages(std::uint64_t low, std::uint64_t high) const;
};

std::optional<OpenFailure> mapWholeFile(const std::u16string& path, MappedFile& out);

}  // namespace quarry
