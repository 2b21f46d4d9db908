// Listing the selected entries: only the tables are read, and nothing is decoded, so no
// decoder library is needed.
#include <algorithm>
#include <iostream>
#include <string>

#include "app/messages.h"
#include "app/run.h"
#include "app/runs.h"
#include "app/selection.h"
#include "app/standard_output.h"
#include "base/stop.h"
#include "extract/name_pattern.h"
#include "extract/payload.h"

namespace quarry {
namespace {

// Lines are gathered and written this much at a time: a list of 300,000 entries is mostly
// the cost of writing it.
constexpr std::size_t LIST_BUFFER = std::size_t{1} << 16;

struct Listing {
  const CommandLine& line;
  std::string buffer;
  RunTally tally{RunKind::Listed};
  std::uint64_t storedBytes = 0;
  OsResult written;  // the first write that failed, after which nothing more is written

  void add(const std::string& text) {
    buffer += text;
    buffer += '\n';
    if (buffer.size() >= LIST_BUFFER) flush();
  }
  void flush() {
    if (written.ok() && !buffer.empty()) written = writeStandardOutput(buffer);
    buffer.clear();
  }
  // Whether the list goes on: no stop, and its reader still takes what it writes.
  bool goesOn() const { return written.ok() && !stopRequested(); }
};

// The widest container's name, for the list's container column.
std::size_t containerColumn(const RunContainers& containers) {
  std::size_t widest = 0;
  for (const RunContainer& container : containers.list) {
    widest = std::max(widest, containers.shownName(container).size());
  }
  return widest;
}

void listOne(Listing& listing, const ListedEntry& listed, const EntryRef& entry,
             std::optional<RecordProblem> problem) {
  listing.add(listing.line.json ? listingJsonLine(listed) : listingLine(listed));
  ++listing.tally.selected;
  if (problem) {
    ++listing.tally.failed;
    return;
  }
  listing.tally.bytes += entry.fullSize;
  listing.storedBytes += entry.storedSize;
}

void listContainer(Listing& listing, const RunContainers& containers, RunContainer& container,
                   PatternSet& patterns) {
  ResourceView& view = container.view;
  const Selection selection = selectEntries(container, patterns, false);
  const std::size_t column = containerColumn(containers);
  for (std::uint64_t k = 0; k < selection.count && listing.goesOn(); ++k) {
    const std::uint64_t index = selection.indexAt(k);
    EntryRef entry;
    const std::optional<RecordProblem> problem = entryAt(view.tables, index, entry);
    ListedEntry listed = listedEntry(index, entry, problem);
    listed.container = containers.shownName(container);
    listed.containerColumn = column;
    listed.replaced = container.isReplaced(index);
    listOne(listing, listed, entry, problem);
    noteEntryDone(view, index, entry, StreamRead::No);
  }
  view.file.confirmWhole();
  view.file.letPagesGo();
}

// A list can be stopped only from outside: it binds no decoder and opens no output folder.
int finishStopped() {
  switch (stopCause()) {
    case StopCause::ContainerCutShort:
      return finishCutShort();
    case StopCause::Interrupted:
      return finishInterrupted(nullptr);
    case StopCause::None:
    case StopCause::OutputFolderUnusable:
    case StopCause::DecoderFault:
    case StopCause::NoDecoder:
      break;
  }
  return EXIT_SOME_FAILED;
}

// Nothing more is said on a stream the list could not write to; what went wrong is said once.
int finishLost(const OsResult& written) {
  if (const std::optional<int> status = quietStatusForLostOutput(written.osError)) return *status;
  std::cerr << listOutputLostLine(written.osError) << std::endl;
  return EXIT_SOME_FAILED;
}

}  // namespace

int listEntries(const CommandLine& line, RunContainers& containers, RunClock::time_point started) {
  Listing listing{line, {}, {RunKind::Listed}, 0, {}};
  PatternSet patterns(line.patterns);
  markReplaced(containers, patterns);
  for (std::size_t k = 0; k < containers.list.size() && listing.goesOn(); ++k) {
    listContainer(listing, containers, containers.list[k], patterns);
  }
  if (stopRequested()) return finishStopped();
  if (containers.several) listing.tally.containers = containers.list.size();
  listing.tally.replaced = containers.replacedCount();
  if (!line.json) {
    listing.add(listingTotalLine(listing.tally.selected, listing.tally.bytes, listing.storedBytes,
                                 listing.tally.containers));
  }
  listing.flush();
  if (!listing.written.ok()) return finishLost(listing.written);
  listing.tally.done = listing.tally.selected;
  // A JSON list stays JSON to its end: its summary goes to standard error.
  return finishWithSummary(listing.tally, patterns, started, line.json ? std::cerr : std::cout);
}

}  // namespace quarry
