// Starts a program, feeds it no input and captures both of its streams and its exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarry::testing {

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // added to the parent's
  std::optional<std::uint64_t> fileSizeLimit;    // bytes any file may grow to (POSIX only)
  std::optional<std::uint64_t> descriptorLimit;  // descriptors it may hold open (POSIX only)
  std::string outFile;           // not empty: standard output is appended to this file, not read
  std::string workingDirectory;  // empty: the test's own
  bool outReaderGone = false;    // standard output is a pipe whose reader has already gone
  bool errReaderGone = false;    // the same for standard error
  int timeoutSeconds = 120;      // then the program is killed
};

struct ProcessResult {
  int exitCode = -1;  // as the parent sees it: 255 for -1 on POSIX, 128 + N for signal N
  std::string out;
  std::string err;
  bool timedOut = false;
  std::uint64_t peakKiB = 0;  // POSIX: the most memory the program held resident, in KiB
};

// Arguments are UTF-8 (on POSIX any bytes); the program is a path to an executable.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

}  // namespace quarry::testing
