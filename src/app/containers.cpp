#include "app/containers.h"

#include <functional>
#include <iostream>

#include "app/messages.h"
#include "extract/paths.h"

namespace quarry {
namespace {

// The file an entry writes, as sameFileKey names it; empty when it writes none (a damaged
// record, a refused name).
PathString fileKeyOf(const EntryRef& entry) {
  OutputPath target;
  if (outputPathFor(PathView(), entry.name, target)) return {};
  return sameFileKey(target);
}

// Which container first claimed each file, walking from the last container to the first. A
// slot keeps only the key's hash and the entry that claimed it; a hash that matches is
// confirmed by that entry's own key, so the table costs 16 bytes a slot however long the names.
class FileClaims {
 public:
  // Room for every entry of every container but the first, whose claims no one asks after,
  // at most three quarters full.
  explicit FileClaims(const RunContainers& containers) : containers_(containers) {
    std::uint64_t claims = 0;
    for (std::size_t at = 1; at < containers.list.size(); ++at) {
      claims += containers.list[at].view.tables.entryCount;
    }
    std::size_t size = 1024;
    while (size / 4 * 3 < claims) size *= 2;
    slots_.resize(size);
  }

  // The container that claimed key, claiming it for (container, index) when none has and a
  // container before this one could still ask.
  std::uint32_t claim(const PathString& key, std::uint32_t container, std::uint32_t index) {
    const std::uint64_t hash = std::hash<PathString>()(key);
    for (std::size_t at = hash & mask();; at = (at + 1) & mask()) {
      Slot& slot = slots_[at];
      if (slot.container == FREE) {
        if (container > 0) slot = {hash, container, index};
        return container;
      }
      if (slot.hash == hash && keyOf(slot) == key) return slot.container;
    }
  }

 private:
  static constexpr std::uint32_t FREE = UINT32_MAX;
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t container = FREE;
    std::uint32_t index = 0;
  };

  std::size_t mask() const { return slots_.size() - 1; }

  PathString keyOf(const Slot& slot) const {
    EntryRef entry;
    entryAt(containers_.list[slot.container].view.tables, slot.index, entry);
    return fileKeyOf(entry);
  }

  const RunContainers& containers_;
  std::vector<Slot> slots_;
};

void markOne(RunContainer& container, std::uint64_t index) {
  if (container.replaced.empty())
    container.replaced.assign(container.view.tables.entryCount, false);
  container.replaced[index] = true;
  ++container.replacedCount;
}

// Claims the files of one container's selected entries; an entry whose file a later container
// claimed first is replaced.
void claimFiles(RunContainers& containers, std::uint32_t at, PatternSet& patterns,
                FileClaims& claims) {
  RunContainer& container = containers.list[at];
  const ResourceTables& tables = container.view.tables;
  for (std::uint32_t index = 0; index < tables.entryCount; ++index) {
    EntryRef entry;
    const bool readable = !entryAt(tables, index, entry);
    if (readable && !entry.name.empty() && patterns.selects(entry.name)) {
      const PathString key = fileKeyOf(entry);
      if (!key.empty() && claims.claim(key, at, index) > at) markOne(container, index);
    }
    noteEntryDone(container.view, index, entry, StreamRead::No);
  }
  // The claims confirmed read the later containers' names here and there: their pages go too.
  for (std::size_t later = at; later < containers.list.size(); ++later) {
    containers.list[later].view.file.letPagesGo();
  }
}

}  // namespace

std::uint64_t RunContainers::entryCount() const {
  std::uint64_t count = 0;
  for (const RunContainer& container : list) count += container.view.tables.entryCount;
  return count;
}

std::uint64_t RunContainers::replacedCount() const {
  std::uint64_t count = 0;
  for (const RunContainer& container : list) count += container.replacedCount;
  return count;
}

bool openRunContainers(const std::u16string& argument, RunContainers& out) {
  out = RunContainers();
  ContainerFiles files;
  if (const auto failure = findContainerFiles(argument, files)) {
    std::cerr << CANNOT_OPEN << std::endl << findFailureLine(*failure) << std::endl;
    return false;
  }
  out.several = files.several;
  out.list.reserve(files.files.size());
  for (ContainerFile& file : files.files) {
    RunContainer& container = out.list.emplace_back();
    container.file = std::move(file);
    if (const auto failure = openResourceView(container.file.path, container.view)) {
      std::cerr << CANNOT_OPEN << std::endl
                << openFailureLine(container.file.path, *failure, out.several) << std::endl;
      out = RunContainers();
      return false;
    }
  }
  return true;
}

void markReplaced(RunContainers& containers, PatternSet& patterns) {
  if (containers.list.size() < 2) return;
  FileClaims claims(containers);
  for (auto at = static_cast<std::uint32_t>(containers.list.size()); at-- > 0;) {
    claimFiles(containers, at, patterns, claims);
  }
}

bool isAContainerFile(const std::u16string& path) {
  if (!isRegularFile(path)) return false;
  if (isContainerName(path)) return true;
  ResourceView view;
  return !openResourceView(path, view);
}

}  // namespace quarry
