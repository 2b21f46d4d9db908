// The whole run of one command line: help, the version, a list, a test or an extraction (the
// plain two-argument one included), and the exit status it answers.
#pragma once

#include <string>

#include "console/console.h"

namespace quarry {

// Exit statuses.
constexpr int EXIT_OK = 0;  // every entry extracted, tested or listed; help or the version shown
constexpr int EXIT_SOME_FAILED = 1;   // the run finished, but not every entry was extracted
constexpr int EXIT_CANNOT_START = 2;  // wrong arguments, or a container that cannot be opened
constexpr int EXIT_NO_DECODER = -1;   // the decoder library cannot be bound (255 on POSIX)

// arguments[0] is the program. The line chooses the mode (command_line.h): --help and --version
// print and end; --list and --test read the container (or a folder of them); otherwise the
// entries are extracted into the output folder, exactly two arguments being the plain run. The
// bar is drawn on console, the process's standard output.
int runExtraction(int argumentCount, const std::u16string* arguments, Console& console);

}  // namespace quarry
