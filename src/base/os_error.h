// The operating system's own words for an error number (errno, or GetLastError on Windows).
#pragma once

#include <string>

namespace quarry {

// The platform's error number of the call that just failed.
int lastOsError();

// What a call into the system answered, for the layers below the rooms' own failure records:
// done, the platform's error number, or ended by the run's stop (src/base/stop.h, which says
// why). Returned, never left in errno for the caller to find.
struct OsResult {
  int osError = 0;
  bool stopped = false;  // the stop was raised before the call was done; osError is then 0
  bool ok() const { return osError == 0 && !stopped; }
};

// The answer of a call the run's stop ended.
inline OsResult stoppedByRun() {
  return OsResult{0, true};
}

// The answer of the call that just failed.
inline OsResult lastOsFailure() {
  return OsResult{lastOsError()};
}

// The system's own description of the error number: one line, without a trailing newline or
// full stop, in the platform's language, its inserts left as the system writes them ("%1");
// empty where the system has none. src/app/messages-*.cpp word it (osErrorText).
std::string systemErrorText(int code);

}  // namespace quarry
