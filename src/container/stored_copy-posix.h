// The parts of MappedFile::copyRange that the platform chooses between (POSIX): the kernel's
// own copy of a file range where there is one (Linux), and what a copy answers when the
// container ends before the range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/os_error.h"

namespace quarry {

// The range was checked against the mapping, so a file that ends inside it was cut short:
// raises the stop (StopCause::ContainerCutShort) and answers stopped.
OsResult containerEndedEarly();

// The kernel's own copy of a file range (Linux), trying each way from firstUsable on and
// moving it past the ways refused. Answers what copyRange does (done, the error, or stopped),
// or nothing when no way works for these two files and nothing was copied.
std::optional<OsResult> copyInKernel(std::size_t& firstUsable, int from, std::uint64_t offset,
                                     std::uint64_t length, int to);

}  // namespace quarry
