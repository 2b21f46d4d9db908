// Writing all of a run of bytes to a POSIX descriptor, through partial and interrupted writes.
#pragma once

#ifndef _WIN32
#include "base/bytes.h"

namespace quarry {

// The most one write call is asked to carry, well below the 2 GiB that some calls stop at.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 30;

// Writes every byte; returns 0, or the error number of the write that failed.
int writeAll(int fd, ByteSpan bytes);

}  // namespace quarry
#endif
