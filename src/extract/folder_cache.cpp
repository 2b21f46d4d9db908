#include "extract/folder_cache.h"

#include <algorithm>

#include "base/stop.h"
#include "extract/output_failure.h"
#include "extract/temporaries.h"

namespace quarry {
namespace {

// The entry's folder below the output folder, components joined by one '/': the same folder
// however its name spells the separators.
PathString keyOf(PathView relative) {
  PathString key;
  forEachComponent(relative, [&key](PathView component) {
    if (!key.empty()) key.push_back(PathChar('/'));
    key.append(component);
  });
  return key;
}

PathString parentKeyOf(const PathString& key) {
  const std::size_t slash = key.rfind(PathChar('/'));
  return slash == PathString::npos ? PathString() : key.substr(0, slash);
}

}  // namespace

FolderCache::FolderCache(FileSystem& files, PathString folder)
    : files_(files), folder_(std::move(folder)) {}

// The folder is the user's own path, made as a whole; failing, the run cannot go on.
bool FolderCache::openRoot() {
  if (root_.valid()) return true;
  if (rootFailure_) return false;
  FsHandle opened = NO_FS_HANDLE;
  const FsResult result = files_.openOutputFolder(folder_, opened);
  if (result.ok()) {
    root_ = OwnedFolder(files_, opened);
    removeStaleTemporaries(root_.get());
    return true;
  }
  rootFailure_ = failureAt(OutputProblem::OutputFolderUnusable, folder_, result.osError);
  requestStop(StopCause::OutputFolderUnusable);
  return false;
}

bool FolderCache::rootRemoved() {
  if (!root_.valid() || !files_.isRemoved(root_.get())) return false;
  rootFailure_ = failureAt(OutputProblem::OutputFolderUnusable, folder_, 0);
  requestStop(StopCause::OutputFolderUnusable);
  return true;
}

void FolderCache::forget() {
  open_.clear();
  known_.clear();
}

FsHandle FolderCache::kept(const PathString& key) {
  if (key.empty()) return root_.get();
  for (Kept& folder : open_) {
    if (folder.key != key) continue;
    folder.lastUse = ++uses_;
    return folder.folder.get();
  }
  return NO_FS_HANDLE;
}

FsHandle FolderCache::keep(const PathString& key, OwnedFolder folder) {
  if (open_.size() == OPEN_FOLDERS) {
    open_.erase(std::min_element(open_.begin(), open_.end(), [](const Kept& a, const Kept& b) {
      return a.lastUse < b.lastUse;
    }));
  }
  const FsHandle handle = folder.get();
  open_.push_back({key, std::move(folder), ++uses_});
  return handle;
}

// A temporary is stale when the process it names runs no longer: killed, it could not remove
// it. A temporary of a process that runs is that process's own, and is left alone.
void FolderCache::removeStaleTemporaries(FsHandle folder) {
  std::vector<PathString> names;
  if (!files_.listFolder(folder, names).ok()) return;
  for (const PathString& name : names) {
    const std::optional<std::uint64_t> owner = temporaryOwner(name);
    if (!owner || *owner == currentProcessId() || processRuns(*owner)) continue;
    Node node;
    if (!files_.inspect(folder, name, node).ok() || node.kind != NodeKind::RegularFile) continue;
    if (files_.removeIfSame(folder, name, node.identity).ok()) ++staleRemoved_;
  }
}

FolderCache::Reached FolderCache::failedFolder(const FsResult& result, const OutputPath& target,
                                               std::size_t end) const {
  const PathView shown = PathView(target.path).substr(0, end);
  Reached reached;
  reached.outOfHandles = result.outcome == FsOutcome::TooManyOpen;
  reached.failure = result.outcome == FsOutcome::Link
                        ? failureAt(OutputProblem::LinkInTheWay, shown)
                        : failureAt(OutputProblem::CannotCreateDirectory, shown, result.osError);
  return reached;
}

// Makes and enters each folder of the entry's parent that lies past `from` in its path,
// starting in the open folder startHandle (owned by start, or kept); the last one is kept.
FolderCache::Reached FolderCache::walkFrom(OwnedFolder start, FsHandle startHandle,
                                           std::size_t from, const OutputPath& target,
                                           const PathString& key) {
  const std::size_t stop = target.nameStart + relativeParentOf(target).size();
  const PathView below = PathView(target.path).substr(from, stop - from);
  OwnedFolder current = std::move(start);
  FsHandle at = startHandle;
  std::optional<Reached> failed;
  forEachComponent(below, [&](PathView name, std::size_t end) {
    FsResult result = files_.makeFolder(at, name);
    const bool stoodBefore = result.outcome == FsOutcome::Exists;
    FsHandle next = NO_FS_HANDLE;
    if (result.ok() || stoodBefore) result = files_.openFolder(at, name, next);
    if (!result.ok()) {
      failed = failedFolder(result, target, from + end);
      return false;
    }
    current = OwnedFolder(files_, next);
    at = next;
    if (stoodBefore) removeStaleTemporaries(at);
    return true;
  });
  if (failed) return *failed;
  known_.insert(key);
  if (!current.valid()) return {at, std::nullopt};  // nothing to make below start
  return {keep(key, std::move(current)), std::nullopt};
}

// Makes the entry's folders: below its parent folder when that one is known, else from the
// output folder down, one component at a time.
FolderCache::Reached FolderCache::makeFolders(const OutputPath& target, const PathString& key) {
  const PathString above = parentKeyOf(key);
  FsHandle start = above.empty() ? NO_FS_HANDLE : kept(above);
  OwnedFolder opened;
  if (start == NO_FS_HANDLE && !above.empty() && known_.contains(above)) {
    FsHandle handle = NO_FS_HANDLE;
    if (files_.openFolder(root_.get(), above, handle).ok()) {
      opened = OwnedFolder(files_, handle);
      start = handle;
    }
  }
  if (start == NO_FS_HANDLE) return walkFrom({}, root_.get(), target.nameStart, target, key);
  std::size_t from = target.nameStart + relativeParentOf(target).size();
  while (from > target.nameStart && !isSeparator(target.path[from - 1])) --from;
  return walkFrom(std::move(opened), start, from, target, key);
}

// The entry's folder: kept open, known to exist (opened below the output folder in one call),
// or made.
FolderCache::Reached FolderCache::reach(const OutputPath& target, const PathString& key) {
  if (const FsHandle folder = kept(key); folder != NO_FS_HANDLE) return {folder, std::nullopt};
  if (known_.contains(key)) {
    FsHandle handle = NO_FS_HANDLE;
    if (files_.openFolder(root_.get(), key, handle).ok()) {
      return {keep(key, OwnedFolder(files_, handle)), std::nullopt};
    }
    known_.erase(key);  // gone or changed since: found again, folder by folder
  }
  return makeFolders(target, key);
}

FolderCache::Answer FolderCache::parentOf(const OutputPath& target) {
  const PathString key = keyOf(relativeParentOf(target));
  if (const auto failed = failed_.find(key); failed != failed_.end()) {
    return {NO_FS_HANDLE, failed->second};
  }
  if (!openRoot()) return {NO_FS_HANDLE, rootFailure_};
  Reached reached = reach(target, key);
  if (reached.failure && reached.outOfHandles) {
    // Out of descriptors (other programs' share, or a low limit): let the kept folders go.
    letGo();
    reached = reach(target, key);
  }
  if (reached.failure && !rootFailure_) failed_.emplace(key, *reached.failure);
  return {reached.folder, reached.failure};
}

}  // namespace quarry
