// Which entries a run takes up: every one, or those whose names the patterns select.
#pragma once

#include <cstdint>
#include <vector>

#include "app/containers.h"
#include "container/view.h"
#include "extract/name_pattern.h"

namespace quarry {

struct Selection {
  bool all = true;
  std::uint64_t count = 0;             // entries taken up
  std::vector<std::uint32_t> indices;  // without all: their indices, in order

  std::uint64_t indexAt(std::uint64_t k) const { return all ? k : indices[k]; }
};

// Every entry when there is no pattern and none is replaced (nothing is read); else the
// entries whose names a pattern selects, less those a later container replaces (when
// skipReplaced), read once from the tables. A damaged entry whose name cannot be read is taken
// up only when there is no pattern. A stop ends the reading: the run then stops.
Selection selectEntries(RunContainer& container, PatternSet& patterns, bool skipReplaced);

}  // namespace quarry
