// Putting one entry's bytes on disk.
#pragma once

#include <cstdint>
#include <string>

namespace quarry {

// The most one write call is asked to carry, well below the 2 GiB that some calls stop at.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 30;

// Where a stored payload also lies: the container's open file and the offset in it. With it,
// POSIX copies the bytes inside the kernel instead of faulting the mapping in.
struct FileRange {
  std::intptr_t file = -1;
  std::uint64_t offset = 0;
};

// Creates or truncates the file at path and writes all length bytes of data (or of source,
// which holds the same bytes), in as many calls as it takes. Returns 0, or the platform's
// error number; after a failed write the partly written file is removed.
int writeWholeFile(const std::u16string& path, const std::uint8_t* data, std::uint64_t length,
                   FileRange source = {});

}  // namespace quarry
