// The list's way to standard output: the system's own write call, so that a list whose output
// is lost (a full disk, a reader gone) knows it and why.
#pragma once

#include <optional>
#include <string_view>

#include "base/os_error.h"

namespace quarry {

// Writes every byte of text to standard output, with line ends as std::cout writes them (on
// Windows "\r\n"); done, or the error of the write that failed. Anything std::cout holds is
// written first.
OsResult writeStandardOutput(std::string_view text);

// The status of a list whose output was lost to error when the platform ends such a tool
// without a word: a reader gone on POSIX ends as a tool killed by SIGPIPE reports, 141. None
// when the error is to be said, with status 1.
std::optional<int> quietStatusForLostOutput(int error);

}  // namespace quarry
