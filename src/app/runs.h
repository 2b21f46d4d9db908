// The modes a command line starts, each over the run's open containers. run.cpp reads the
// command line and opens them; these do the rest and answer the exit status.
#pragma once

#include <chrono>
#include <iosfwd>

#include "app/command_line.h"
#include "app/containers.h"
#include "app/messages.h"
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
// A list whose output cannot be written ends there, with a status that is not 0.
int listEntries(const CommandLine& line, RunContainers& containers, RunClock::time_point started);

// ---- How a run ends (run_tail.cpp) ----

// After a run an option started: the patterns that matched nothing on standard error, then the
// tally's summary line on summary, with the seconds since started; the status.
int finishWithSummary(RunTally& tally, const PatternSet& patterns, RunClock::time_point started,
                      std::ostream& summary);

// The line of a container cut short by another program while it was read; the status.
int finishCutShort();

// The line of an interrupt, naming the entry whose unfinished file it removed when there was
// one; the interrupt's status.
int finishInterrupted(const EntryPlace* removedFileOf);

}  // namespace quarry
