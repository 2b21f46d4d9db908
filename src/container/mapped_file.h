// The container's bytes: the one owner of its file handle, its mapping and the mapped range,
// of letting the mapped pages go once read, of copying ranges of the file out, and of noticing
// when another program cuts the file short while it is mapped.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/file_identity.h"
#include "base/os_error.h"
#include "base/unique_os_handle.h"
#include "container/problems.h"

namespace quarry {

// The parts of a container that are read in their own order, each mostly front to back.
enum class ReadRegion : std::uint8_t { Entries, NamePairs, StringOffsets, Names, Streams };
constexpr std::size_t READ_REGION_COUNT = 5;

// One run of the mapping per region, indexed by ReadRegion, empty where there is none: where
// each table lies, or what one entry's reading touched of each.
using RegionSpans = std::array<ByteSpan, READ_REGION_COUNT>;

// The span of region in spans.
inline ByteSpan& spanOf(RegionSpans& spans, ReadRegion region) {
  return spans[static_cast<std::size_t>(region)];
}
inline ByteSpan spanOf(const RegionSpans& spans, ReadRegion region) {
  return spans[static_cast<std::size_t>(region)];
}

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
  // Which file the container is, so that no entry is written over it; nothing when the
  // system cannot say.
  std::optional<FileIdentity> identity() const;

  // Once, after the file is mapped: keeps one page fault in each region (where it lies in the
  // mapping) from mapping much more than the read needs, so that letting pages go as the
  // regions are read keeps the resident set small.
  void boundFaults(const RegionSpans& regions) const;
  // What one entry's reading touched, region by region, once the entry is done. Once a
  // region's reads span a window, the pages under them are let go, so the resident set stays
  // small however large the container; read again, the pages come back from the file.
  void noteEntryDone(const RegionSpans& reads);
  // Lets every page go, once a pass over the tables is done and the next one is far off.
  void letPagesGo();

  // POSIX (Windows writes a stored entry from the mapping): copies length bytes at offset of
  // the file into the file open on to, inside the kernel where it can, else through one reused
  // buffer; never through the mapping, so a large entry adds nothing to the resident set. The
  // stop is looked at between chunks. When the file ends before the range, it was cut short
  // since it was mapped: the stop is raised (StopCause::ContainerCutShort). Either way the
  // answer is then stopped.
  OsResult copyRange(std::uint64_t offset, std::uint64_t length, int to);

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
  std::array<ReadSpan, READ_REGION_COUNT> read_{};
  void noteRead(ReadSpan& span, ByteSpan range);
  void releasePages(std::uint64_t low, std::uint64_t high) const;

  // What copyRange keeps from one entry to the next (POSIX).
  std::size_t firstUsableKernelCopy_ = 0;       // a kernel copy refused once stays refused
  std::unique_ptr<std::uint8_t[]> copyBuffer_;  // made on the first range the kernel leaves
  OsResult copyThroughBuffer(std::uint64_t offset, std::uint64_t length, int to);
};

std::optional<OpenFailure> mapWholeFile(const std::u16string& path, MappedFile& out);

}  // namespace quarry
