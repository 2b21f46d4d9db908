// The POSIX back end over any pair of descriptors, so tests can run it on a pseudo terminal.
#pragma once

#include <memory>

#include "console/console.h"

namespace quarry {

// A console on the terminal open on outputFd; errorFd is where standard error goes. Rows are
// not known to a terminal that is never asked: every position is on row 0, the current line.
std::unique_ptr<Console> makeTerminalConsole(int outputFd, int errorFd);

}  // namespace quarry
