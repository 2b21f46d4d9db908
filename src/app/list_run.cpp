// Listing the selected entries: only the tables are read, and nothing is decoded, so no
// decoder library is needed.
#include <iostream>
#include <string>

#include "app/messages.h"
#include "app/run.h"
#include "app/runs.h"
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

  void add(const std::string& text) {
    buffer += text;
    buffer += '\n';
    if (buffer.size() >= LIST_BUFFER) flush();
  }
  void flush() {
    std::cout.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    buffer.clear();
  }
};

void listOne(Listing& listing, std::uint64_t index, const EntryRef& entry,
             std::optional<RecordProblem> problem) {
  const ListedEntry listed = listedEntry(index, entry, problem);
  listing.add(listing.line.json ? listingJsonLine(listed) : listingLine(listed));
  ++listing.tally.selected;
  if (problem) {
    ++listing.tally.failed;
    return;
  }
  listing.tally.bytes += entry.fullSize;
  listing.storedBytes += entry.storedSize;
}

}  // namespace

int listEntries(const CommandLine& line, ResourceView& view, RunClock::time_point started) {
  Listing listing{line, {}};
  PatternSet patterns(line.patterns);
  for (std::uint64_t index = 0; index < view.tables.entryCount; ++index) {
    EntryRef entry;
    const std::optional<RecordProblem> problem = entryAt(view.tables, index, entry);
    if (patterns.empty() || (!entry.name.empty() && patterns.selects(entry.name))) {
      listOne(listing, index, entry, problem);
    }
    noteEntryDone(view, index, entry, StreamRead::No);
  }
  if (!line.json) {
    listing.add(listingTotalLine(listing.tally.selected, listing.tally.bytes, listing.storedBytes));
  }
  listing.flush();
  std::cout.flush();
  for (const std::string& pattern : patterns.unmatched()) {
    std::cerr << noEntryMatchesLine(pattern) << std::endl;
  }
  listing.tally.done = listing.tally.selected;
  listing.tally.seconds = std::chrono::duration<double>(RunClock::now() - started).count();
  // A JSON list stays JSON to its end: its summary goes to standard error.
  (line.json ? std::cerr : std::cout) << summaryLine(listing.tally) << std::endl;
  const bool failed = listing.tally.failed > 0 || !patterns.unmatched().empty();
  return failed ? EXIT_SOME_FAILED : EXIT_ALL_EXTRACTED;
}

}  // namespace quarry
