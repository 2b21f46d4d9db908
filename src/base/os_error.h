// The operating system's own words for an error number (errno, or GetLastError on Windows).
#pragma once

#include <string>

namespace quarry {

// The platform's error number of the call that just failed.
int lastOsError();

// One line, without a trailing newline or full stop, in the platform's language.
std::string osErrorText(int code);

}  // namespace quarry
