// The whole run: bind the decoder, check the arguments, open the container, extract every
// entry in index order, and answer with the exit status.
#pragma once

#include <string>

#include "console/console.h"

namespace quarry {

// Exit statuses.
constexpr int EXIT_ALL_EXTRACTED = 0;
constexpr int EXIT_SOME_FAILED = 1;   // the run finished, but not every entry was extracted
constexpr int EXIT_CANNOT_START = 2;  // wrong arguments, or a container that cannot be opened
constexpr int EXIT_NO_DECODER = -1;   // the decoder library cannot be bound (255 on POSIX)

// arguments[0] is the program; a run takes exactly two more: the container and the folder.
// The bar is drawn on console, the process's standard output.
int runExtraction(int argumentCount, const std::u16string* arguments, Console& console);

}  // namespace quarry
