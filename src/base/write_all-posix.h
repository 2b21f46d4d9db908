// Writing all of a run of bytes to a POSIX descriptor, through partial and interrupted writes.
#pragma once

#include "base/bytes.h"
#include "base/os_error.h"

namespace quarry {

// The most one write call is asked to carry, well below the 2 GiB that some calls stop at.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 30;

// Writes every byte; answers done, or the error of the write that failed.
OsResult writeAll(int fd, ByteSpan bytes);

}  // namespace quarry
