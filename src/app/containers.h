// The containers of one run, open for its whole length, and which of their entries a later
// container replaces: across containers the last one that writes a file wins, and is the only
// one that writes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "container/container_files.h"
#include "container/view.h"
#include "extract/name_pattern.h"

namespace quarry {

struct RunContainer {
  ContainerFile file;
  ResourceView view;
  // By entry index: a later container writes the same file. Empty while none is replaced.
  std::vector<bool> replaced;
  std::uint64_t replacedCount = 0;

  bool isReplaced(std::uint64_t index) const { return !replaced.empty() && replaced[index]; }
};

struct RunContainers {
  std::vector<RunContainer> list;
  bool several = false;  // given as a folder or a wildcard: lines name the container

  std::uint64_t entryCount() const;
  std::uint64_t replacedCount() const;
  // How an entry's lines name its container: empty in a run of one container given as a file.
  std::string_view shownName(const RunContainer& container) const {
    return several ? std::string_view(container.file.shown) : std::string_view();
  }
};

// Finds and opens every container the argument stands for, in order, and prints what kept the
// first one that failed from being opened (nothing is then open). False on that failure.
bool openRunContainers(const std::u16string& argument, RunContainers& out);

// Marks, in each container, the entries that patterns select and whose file a later
// container's selected entry also writes (as the output side names files on this platform).
// Within one container nothing is marked: the later entry's bytes remain, as in a lone one.
void markReplaced(RunContainers& containers, PatternSet& patterns);

// True when path, given as the output folder, is a resources file: a container, or a file
// whose name ends in ".resources". Extracting into it is never what was meant.
bool isAContainerFile(const std::u16string& path);

}  // namespace quarry
