#include "app/selection.h"

#include "base/stop.h"

namespace quarry {

Selection selectEntries(RunContainer& container, PatternSet& patterns, bool skipReplaced) {
  Selection selection;
  ResourceView& view = container.view;
  const std::uint64_t count = view.tables.entryCount;
  const bool skipping = skipReplaced && container.replacedCount != 0;
  if (patterns.empty() && !skipping) {
    selection.count = count;
    return selection;
  }
  selection.all = false;
  for (std::uint64_t index = 0; index < count && !stopRequested(); ++index) {
    if (skipping && container.isReplaced(index)) continue;
    EntryRef entry;
    entryAt(view.tables, index, entry);
    if (patterns.empty() || (!entry.name.empty() && patterns.selects(entry.name))) {
      selection.indices.push_back(static_cast<std::uint32_t>(index));
    }
    noteEntryDone(view, index, entry, StreamRead::No);
  }
  selection.count = selection.indices.size();
  return selection;
}

}  // namespace quarry
