// Putting one entry's bytes on disk.
#pragma once

#include <cstdint>

namespace quarry {

// The most one write call is asked to carry, well below the 2 GiB that some calls stop at.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 30;

}  // namespace quarry
