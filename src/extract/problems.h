// What can keep one entry from its file, as data, in three parts: its name, its place on disk
// and its bytes. The run words them; nothing here composes sentences.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "decoder/decoder.h"

namespace quarry {

// Why the entry's name cannot become a path below the output folder.
enum class NameProblem : std::uint8_t {
  NotUtf8,
  NotConvertible,  // osError: why the code page refused it
  HasPrefix,
  StartsWithSeparator,
  HasParentComponent,
  HasDeviceName,
  HasColon,
  HasTrailingDotOrSpace,
  PathTooLong,  // limit: the most the platform holds
};

struct NameFailure {
  explicit NameFailure(NameProblem what, int error = 0) : problem(what), osError(error) {}

  NameProblem problem;
  int osError = 0;          // NotConvertible: the platform's error number
  std::uint64_t limit = 0;  // PathTooLong, in the platform's path units
};

// Why the entry's file cannot be made, or be made there.
enum class OutputProblem : std::uint8_t {
  CannotCreateDirectory,  // osError, path
  LinkInTheWay,           // path: a link or junction where a directory or the file goes
  NotARegularFile,        // path: a device, FIFO, socket... where the file goes
  IsTheContainer,         // path: the file is the container being read
  IsTheDecoder,           // path: the file is the decoder library in use
  IsQuarrysOutput,        // path: the file is where Quarry's own standard output or error goes
  OutputFolderUnusable,   // osError (0: removed during the run), path: the output folder
  CannotWrite,            // osError, path
};

struct OutputFailure {
  explicit OutputFailure(OutputProblem what, int error = 0, std::string where = {})
      : problem(what), osError(error), path(std::move(where)) {}

  OutputProblem problem;
  int osError = 0;   // the platform's error number, 0 when the OS was not asked
  std::string path;  // the path concerned, as the platform spells it, in UTF-8
};

// Why the entry's bytes could not be had.
enum class DecodeProblem : std::uint8_t {
  DecompressionFailed,
  OutOfMemory,  // size: the bytes asked for
  // The decoder library did not come back (fault says how); the run stops there.
  DecoderFault,
};

struct DecodeFailure {
  explicit DecodeFailure(DecodeProblem what) : problem(what) {}

  DecodeProblem problem;
  std::uint64_t size = 0;  // OutOfMemory
  DecoderFault fault;      // DecoderFault
};

}  // namespace quarry
