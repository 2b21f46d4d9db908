// Where the running program's file is: the decoder library is looked for beside it, and a
// Windows library asking for its process's module is told this path.
#pragma once

#include <string>

namespace quarry {

// The running program's path as the system names it; empty when it cannot be found.
std::string programPath();

}  // namespace quarry
