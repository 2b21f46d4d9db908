// Listing the selected entries: only the tables are read, and nothing is decoded, so no
// decoder library is needed.
#include <algorithm>
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
  const std::size_t column = containerColumn(containers);
  for (std::uint64_t index = 0; index < view.tables.entryCount; ++index) {
    EntryRef entry;
    const std::optional<RecordProblem> problem = entryAt(view.tables, index, entry);
    if (patterns.empty() || (!entry.name.empty() && patterns.selects(entry.name))) {
      ListedEntry listed = listedEntry(index, entry, problem);
      listed.container = containers.shownName(container);
      listed.containerColumn = column;
      listed.replaced = container.isReplaced(index);
      listOne(listing, listed, entry, problem);
    }
    noteEntryDone(view, index, entry, StreamRead::No);
  }
  view.file.letPagesGo();
}

}  // namespace

int listEntries(const CommandLine& line, RunContainers& containers, RunClock::time_point started) {
  Listing listing{line, {}};
  PatternSet patterns(line.patterns);
  markReplaced(containers, patterns);
  for (RunContainer& container : containers.list) {
    listContainer(listing, containers, container, patterns);
  }
  if (containers.several) listing.tally.containers = containers.list.size();
  listing.tally.replaced = containers.replacedCount();
  if (!line.json) {
    listing.add(listingTotalLine(listing.tally.selected, listing.tally.bytes, listing.storedBytes,
                                 listing.tally.containers));
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
  return failed ? EXIT_SOME_FAILED : EXIT_OK;
}

}  // namespace quarry
