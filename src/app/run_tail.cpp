// How a run ends, the same for every mode: the patterns that matched nothing and the summary,
// or the line of the stop that cut it short.
#include <iostream>

#include "app/interrupts.h"
#include "app/messages.h"
#include "app/run.h"
#include "app/runs.h"
#include "base/stop.h"

namespace quarry {

int finishWithSummary(RunTally& tally, const PatternSet& patterns, RunClock::time_point started,
                      std::ostream& summary) {
  for (const std::string& pattern : patterns.unmatched()) {
    std::cerr << noEntryMatchesLine(pattern) << std::endl;
  }
  tally.seconds = std::chrono::duration<double>(RunClock::now() - started).count();
  summary << summaryLine(tally) << std::endl;
  const bool failed = tally.failed > 0 || !patterns.unmatched().empty();
  return failed ? EXIT_SOME_FAILED : EXIT_OK;
}

int finishCutShort() {
  std::cerr << CONTAINER_CHANGED << std::endl;
  return EXIT_SOME_FAILED;
}

int finishInterrupted(const EntryPlace* removedFileOf) {
  const int interrupt = stopSignal();
  std::cerr << (removedFileOf != nullptr ? interruptedEntryLine(*removedFileOf, interrupt)
                                         : interruptedLine(interrupt))
            << std::endl;
  return interruptedStatus(interrupt);
}

}  // namespace quarry
