// The modes a command line starts, each over the run's open containers. run.cpp reads the
// command line and opens them; these do the rest and answer the exit status.
#pragma once

#include <chrono>

#include "app/command_line.h"
#include "app/containers.h"
#include "console/console.h"
#include "decoder/decoder.h"

namespace quarry {

// The decoder library, bound when the run first needs it (a plain run binds it at its start,
// as it always has); a list never does.
class DecoderOnDemand {
 public:
  explicit DecoderOnDemand(bool bindNow);
  // Binds the library the first time it is asked; false when it cannot be bound, which ends
  // the run.
  bool bindIfNeeded();
  const Decompressor& decompress() const { return binding_.decompress; }
  const DecoderBinding& binding() const { return binding_; }

 private:
  bool tried_ = false;
  DecoderBinding binding_;
};

// The lines of a decoder library that cannot be bound, and the status.
int reportNoDecoder(const DecoderBinding& binding);

using RunClock = std::chrono::steady_clock;

// Extracts (or, in Test mode, reads and decodes) the selected entries of every container, in
// order; an entry whose file a later container writes is not extracted.
int extractEntries(const CommandLine& line, RunContainers& containers, DecoderOnDemand& decoder,
                   Console& console, RunClock::time_point started);

// Lists the selected entries of every container on standard output, the replaced ones marked.
int listEntries(const CommandLine& line, RunContainers& containers, RunClock::time_point started);

}  // namespace quarry
