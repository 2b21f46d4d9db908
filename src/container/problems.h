// What can be wrong with a container, as data: why it cannot be opened at all, and what is
// wrong with one entry's records. The run words them; nothing here composes sentences.
#pragma once

#include <cstdint>

namespace quarry {

// Why the container could not be opened: the run ends at the start.
enum class OpenProblem : std::uint8_t {
  CannotOpen,  // osError: the system refused to open, size or map it
  IsADirectory,
  NotARegularFile,
  Empty,
  HeaderCutShort,
  StringCountOutside,
  StringOffsetsOutside,
  IndexBlockOutside,
  NameRecordsOutside,
  EntryTableOutside,
};

struct OpenFailure {
  explicit OpenFailure(OpenProblem what, int error = 0) : problem(what), osError(error) {}

  OpenProblem problem;
  int osError = 0;  // CannotOpen: the platform's error number
};

// What is wrong with one entry's records: the entry is skipped, the others are not.
enum class RecordProblem : std::uint8_t {
  NameIndexOutsideTable,
  NameStartsOutsideFile,
  NameRunsPastFile,
  StoredBytesOutsideFile,
};

}  // namespace quarry
