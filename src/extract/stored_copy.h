// How a stored entry's bytes reach its file on POSIX: copied from the container's file inside
// the kernel where the platform offers it (Linux), else read into one reused buffer and
// written out. Never through the mapping, so a large entry adds nothing to the resident set.
#pragma once

#ifndef _WIN32
#include <cstdint>
#include <memory>
#include <optional>

namespace quarry {

class StoredCopy {
 public:
  StoredCopy();
  ~StoredCopy();
  StoredCopy(const StoredCopy&) = delete;
  StoredCopy& operator=(const StoredCopy&) = delete;

  // Copies length bytes at offset of the file open on from (the container) into the file
  // open on to. Returns 0 or the error number; when from ends before the range does, it was
  // cut short: the stop is raised (StopCause::ContainerCutShort) and the answer is STOPPED.
  int copy(int from, std::uint64_t offset, std::uint64_t length, int to);

 private:
  int throughBuffer(int from, std::uint64_t offset, std::uint64_t length, int to);

  std::size_t firstUsableKernelCopy_ = 0;  // a kernel copy refused once stays refused
  std::unique_ptr<std::uint8_t[]> buffer_;
};

// What a copy answers when the container ended before the range: the stop is raised.
int containerEndedEarly();

// The kernel's own copy of a file range (Linux), trying each way from firstUsable on and
// moving it past the ways refused. Returns what copy does (0, the error number, or STOPPED),
// or nothing when no way works for these two files and nothing was copied.
std::optional<int> copyInKernel(std::size_t& firstUsable, int from, std::uint64_t offset,
                                std::uint64_t length, int to);

}  // namespace quarry
#endif
