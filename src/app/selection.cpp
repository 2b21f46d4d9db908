#include "app/selection.h"

namespace quarry {

Selection selectEntries(ResourceView& view, PatternSet& patterns) {
  Selection selection;
  const std::uint64_t count = view.tables.entryCount;
  if (patterns.empty()) {
    selection.count = count;
    return selection;
  }
  selection.all = false;
  for (std::uint64_t index = 0; index < count; ++index) {
    EntryRef entry;
    entryAt(view.tables, index, entry);
    if (!entry.name.empty() && patterns.selects(entry.name)) {
      selection.indices.push_back(static_cast<std::uint32_t>(index));
    }
    noteEntryDone(view, index, entry, StreamRead::No);
  }
  selection.count = selection.indices.size();
  return selection;
}

}  // namespace quarry
