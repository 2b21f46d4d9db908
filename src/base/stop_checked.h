// Long writes cut into chunks with a look at the run's stop before each, so an interrupt ends a
// write of gigabytes within a fraction of a second.
#pragma once

#include <algorithm>
#include <cstddef>

#include "base/bytes.h"
#include "base/os_error.h"
#include "base/stop.h"

namespace quarry {

constexpr std::size_t STOP_CHECK_CHUNK = std::size_t{8} << 20;

// Hands bytes to writeAll (which answers an OsResult for all it was given) one chunk at a
// time; answers the first failure, or stopped when the stop was raised between two chunks.
template <typename WriteAll>
OsResult writeStopChecked(ByteSpan bytes, WriteAll writeAll) {
  while (!bytes.empty()) {
    if (stopRequested()) return stoppedByRun();
    const std::size_t chunk = std::min(bytes.size(), STOP_CHECK_CHUNK);
    if (const OsResult written = writeAll(bytes.first(chunk)); !written.ok()) return written;
    bytes = bytes.subspan(chunk);
  }
  return {};
}

}  // namespace quarry
