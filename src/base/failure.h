// What went wrong, as data: what failed, the OS error if any, the path if any. The run turns
// it into a line; no module below the run composes sentences.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quarry {

enum class EntryProblem : std::uint8_t {
  // The entry's records in the container
  NameIndexOutsideTable,
  NameStartsOutsideFile,
  NameRunsPastFile,
  StoredBytesOutsideFile,
  // Its name
  NameNotUtf8,
  NameNotConvertible,  // osError: why the code page refused it
  NameHasPrefix,
  NameStartsWithSeparator,
  NameHasParentComponent,
  NameHasDeviceName,
  NameHasColon,
  NameHasTrailingDotOrSpace,
  PathTooLong,  // size: the length the path would have, limit: the most the platform holds
  // Its bytes
  DecompressionFailed,
  OutOfMemory,  // size: the bytes asked for
  // Its place on disk
  CannotCreateDirectory,  // osError, path
  LinkInTheWay,           // path: a link or junction where a directory or the file goes
  NotARegularFile,        // path: a device, FIFO, socket... where the file goes
  IsTheContainer,         // path: the file is the container being read
  IsTheDecoder,           // path: the file is the decoder library in use
  IsQuarrysOutput,        // path: the file is where Quarry's own standard output or error goes
  OutputFolderUnusable,   // osError (0: removed during the run), path: the output folder
  CannotWrite,            // osError, path
  // The decoder library did not come back: osError is the signal (POSIX) or exception code
  // (Windows) and detail the place ("oo2core_8_win64.dll+0x1a2b3", or a bare address) for a
  // crash; osError is 0 and detail what it called ("KERNEL32.dll!CreateFileW") for a stop.
  // The run stops there.
  DecoderFault,
};

struct EntryFailure {
  explicit EntryFailure(EntryProblem what, int error = 0, std::string where = {})
      : problem(what), osError(error), path(std::move(where)) {}

  EntryProblem problem;
  int osError = 0;          // the platform's error number, 0 when the OS was not asked
  std::string path;         // the path concerned, as the platform spells it, in UTF-8
  std::uint64_t size = 0;   // OutOfMemory, PathTooLong
  std::uint64_t limit = 0;  // PathTooLong
  std::string detail;       // DecoderFault
};

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

}  // namespace quarry
