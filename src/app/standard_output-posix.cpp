#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "app/standard_output.h"
#include "base/write_all-posix.h"

namespace quarry {

OsResult writeStandardOutput(std::string_view text) {
  std::cout.flush();
  return writeAll(STDOUT_FILENO,
                  ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// main ignores SIGPIPE so that a closed stream never stops an extraction; a list has nothing
// left to do once its reader is gone, and ends as `cmd | head` expects of it.
std::optional<int> quietStatusForLostOutput(int error) {
  if (error == EPIPE) return 128 + SIGPIPE;
  return std::nullopt;
}

}  // namespace quarry
