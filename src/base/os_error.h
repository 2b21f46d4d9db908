// The operating system's own words for an error number (errno, or GetLastError on Windows).
#pragma once

#include <string>

namespace quarry {

// The platform's error number of the call that just failed.
int lastOsError();

// What a call into the system answered, for the layers below the rooms' own failure records:
// done, or the platform's error number. Returned, never left in errno for the caller to find.
struct OsResult {
  int error = 0;
  bool ok() const { return error == 0; }
};

// The answer of the call that just failed.
inline OsResult lastOsFailure() {
  return OsResult{lastOsError()};
}

// One line, without a trailing newline or full stop, in the platform's language.
std::string osErrorText(int code);

}  // namespace quarry
