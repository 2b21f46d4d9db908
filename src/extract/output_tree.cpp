#include "extract/output_tree.h"

#include <algorithm>

#include "base/stop.h"
#include "base/unicode.h"

namespace quarry {
namespace {

// A path in a failure is UTF-8, as the platform spells it.
[[maybe_unused]] std::string textOf(std::string_view path) {
  return std::string(path);
}
[[maybe_unused]] std::string textOf(std::u16string_view path) {
  return encodeLossless(path);
}

OutputFailure failureAt(OutputProblem problem, PathView path, int osError = 0) {
  return OutputFailure(problem, osError, textOf(path));
}

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

OutputTree::OutputTree(FileSystem& files, PathString folder,
                       std::vector<ProtectedFile> protectedFiles)
    : files_(files), folder_(std::move(folder)), protected_(std::move(protectedFiles)) {}

OutputTree::~OutputTree() {
  closeFolders();
  if (root_ != NO_FS_HANDLE) files_.closeFolder(root_);
}

// The folder is the user's own path, made as a whole; failing, the run cannot go on.
bool OutputTree::openRoot() {
  if (root_ != NO_FS_HANDLE) return true;
  if (rootFailure_) return false;
  const FsResult opened = files_.openOutputFolder(folder_, root_);
  if (opened.ok()) return true;
  root_ = NO_FS_HANDLE;
  rootFailure_ = failureAt(OutputProblem::OutputFolderUnusable, folder_, opened.code);
  requestStop(StopCause::OutputFolderUnusable);
  return false;
}

bool OutputTree::rootRemoved() {
  if (root_ == NO_FS_HANDLE || !files_.isRemoved(root_)) return false;
  rootFailure_ = failureAt(OutputProblem::OutputFolderUnusable, folder_, 0);
  requestStop(StopCause::OutputFolderUnusable);
  return true;
}

void OutputTree::keepOpen(const PathString& key, FsHandle handle) {
  if (open_.size() == OPEN_FOLDERS) {
    auto oldest = std::min_element(open_.begin(), open_.end(), [](const auto& a, const auto& b) {
      return a.lastUse < b.lastUse;
    });
    files_.closeFolder(oldest->handle);
    open_.erase(oldest);
  }
  open_.push_back({key, handle, ++uses_});
}

FsHandle OutputTree::openFolderFor(const PathString& key) {
  if (key.empty()) return root_;
  for (OpenFolder& folder : open_) {
    if (folder.key != key) continue;
    folder.lastUse = ++uses_;
    return folder.handle;
  }
  return NO_FS_HANDLE;
}

void OutputTree::closeFolders() {
  for (const OpenFolder& folder : open_) files_.closeFolder(folder.handle);
  open_.clear();
  parent_ = NO_FS_HANDLE;
}

// Something below the folder changed under the run: what it knew is asked again.
void OutputTree::forgetFolders() {
  closeFolders();
  known_.clear();
}

std::optional<OutputFailure> OutputTree::failedFolder(const FsResult& result,
                                                      const OutputPath& target, std::size_t end) {
  const PathView shown = PathView(target.path).substr(0, end);
  if (result.outcome == FsOutcome::TooManyOpen) ranOutOfHandles_ = true;
  if (result.outcome == FsOutcome::Link) return failureAt(OutputProblem::LinkInTheWay, shown);
  return failureAt(OutputProblem::CannotCreateDirectory, shown, result.code);
}

// Makes and enters each folder of the entry's parent that lies past `from` in its path,
// starting in the open folder start; reached is the last one, open.
std::optional<OutputFailure> OutputTree::walkFrom(FsHandle start, std::size_t from,
                                                  const OutputPath& target, FsHandle& reached) {
  const PathView relative = relativeParentOf(target);
  const std::size_t stop = target.nameStart + relative.size();
  FsHandle current = start;
  std::size_t at = from;
  while (at < stop) {
    while (at < stop && isSeparator(target.path[at])) ++at;
    std::size_t end = at;
    while (end < stop && !isSeparator(target.path[end])) ++end;
    if (end == at) break;
    const PathView name = PathView(target.path).substr(at, end - at);
    FsResult result = files_.makeFolder(current, name);
    FsHandle next = NO_FS_HANDLE;
    if (result.ok() || result.outcome == FsOutcome::Exists) {
      result = files_.openFolder(current, name, next);
    }
    if (current != start) files_.closeFolder(current);
    if (!result.ok()) return failedFolder(result, target, end);
    current = next;
    at = end;
  }
  reached = current;
  return std::nullopt;
}

// Makes the entry's folders: below its parent folder when that one is known, else from the
// output folder down, one component at a time.
std::optional<OutputFailure> OutputTree::makeFolders(const OutputPath& target,
                                                     const PathString& key) {
  const PathString above = parentKeyOf(key);
  FsHandle start = openFolderFor(above);
  std::size_t from = target.nameStart;
  if (start == NO_FS_HANDLE && known_.contains(above) &&
      files_.openFolder(root_, above, start).ok()) {
    keepOpen(above, start);
  }
  if (start != NO_FS_HANDLE && !above.empty()) {
    const PathView relative = relativeParentOf(target);
    from = target.nameStart + relative.size();
    while (from > target.nameStart && !isSeparator(target.path[from - 1])) --from;
  } else {
    start = root_;
  }
  FsHandle reached = NO_FS_HANDLE;
  if (auto failure = walkFrom(start, from, target, reached)) return failure;
  known_.insert(key);
  keepOpen(key, reached);
  parent_ = reached;
  return std::nullopt;
}

// Finds the entry's folder: kept open, known to exist (then the file is created below the
// output folder in one call, whatever the depth, and the folder opened only if needed), or
// made.
std::optional<OutputFailure> OutputTree::findParent(const OutputPath& target,
                                                    const PathString& key) {
  parent_ = openFolderFor(key);
  if (parent_ != NO_FS_HANDLE || known_.contains(key)) return std::nullopt;
  return makeFolders(target, key);
}

// The entry's folder open, for what must be done in it by name (replacing, removing).
FsResult OutputTree::openParent() {
  if (parent_ != NO_FS_HANDLE) return {};
  FsHandle opened = NO_FS_HANDLE;
  const FsResult result = files_.openFolder(root_, parentKey_, opened);
  if (!result.ok()) return result;
  keepOpen(parentKey_, opened);
  parent_ = opened;
  return {};
}

std::optional<OutputFailure> OutputTree::ensureParentDirectories(const OutputPath& target) {
  parentKey_ = keyOf(relativeParentOf(target));
  parent_ = NO_FS_HANDLE;
  if (const auto failed = failed_.find(parentKey_); failed != failed_.end()) return failed->second;
  if (!openRoot()) return rootFailure_;
  ranOutOfHandles_ = false;
  std::optional<OutputFailure> failure = findParent(target, parentKey_);
  if (failure && ranOutOfHandles_) {
    // Out of descriptors (other programs' share, or a low limit): let the kept folders go.
    closeFolders();
    failure = findParent(target, parentKey_);
  }
  if (failure && !rootFailure_) failed_.emplace(parentKey_, *failure);
  return failure;
}

// A protected file, or anything but a regular file, is never replaced.
std::optional<OutputFailure> OutputTree::checkReplaceable(const OutputPath& target) {
  Node node;
  const FsResult inspected = files_.inspect(parent_, leafOf(target), node);
  if (!inspected.ok()) return failureAt(OutputProblem::CannotWrite, target.path, inspected.code);
  switch (node.kind) {
    case NodeKind::Link:
      return failureAt(OutputProblem::LinkInTheWay, target.path);
    case NodeKind::Folder:
      return failureAt(OutputProblem::CannotWrite, target.path, isAFolderError());
    case NodeKind::Other:
      return failureAt(OutputProblem::NotARegularFile, target.path);
    case NodeKind::RegularFile:
      break;
  }
  for (const ProtectedFile& kept : protected_) {
    if (kept.identity == node.identity) return failureAt(kept.problem, target.path);
  }
  return std::nullopt;
}

bool OutputTree::standsAlready(const OutputPath& target) {
  Node node;
  return !leafOf(target).empty() && openParent().ok() &&
         files_.inspect(parent_, leafOf(target), node).ok();
}

// Closes a file this run made and removes it, while its name still holds it.
void OutputTree::discard(FsHandle file, const PathString& name) {
  FileIdentity identity;
  const bool known = files_.identify(file, identity).ok();
  files_.closeFile(file);
  if (known && !name.empty() && openParent().ok()) files_.removeIfSame(parent_, name, identity);
}

std::optional<OutputFailure> OutputTree::writeNew(const OutputPath& target, FsHandle file,
                                                  const Payload& payload) {
  FsResult result = files_.writePayload(file, payload);
  if (!result.ok()) {
    discard(file, PathString(leafOf(target)));
    return failureAt(OutputProblem::CannotWrite, target.path, result.code);
  }
  FileIdentity identity;
  const bool known = files_.identify(file, identity).ok();
  result = files_.closeFile(file);
  if (result.ok()) return std::nullopt;
  if (known && openParent().ok()) files_.removeIfSame(parent_, leafOf(target), identity);
  return failureAt(OutputProblem::CannotWrite, target.path, result.code);
}

// The content goes to a new file beside the name, which then takes the name in one step: the
// old file, and every other name it has, keeps its bytes until then and after.
std::optional<OutputFailure> OutputTree::replace(const OutputPath& target, const Payload& payload) {
  if (const FsResult opened = openParent(); !opened.ok()) {
    return failureAt(OutputProblem::CannotWrite, target.path, opened.code);
  }
  if (auto refused = checkReplaceable(target)) return refused;
  FsHandle temporary = NO_FS_HANDLE;
  PathString temporaryName;
  FsResult result = files_.createTemporary(parent_, temporary, temporaryName);
  if (!result.ok()) return failureAt(OutputProblem::CannotWrite, target.path, result.code);
  result = files_.writePayload(temporary, payload);
  if (result.ok() && stopRequested()) result = {FsOutcome::Stopped, 0};
  if (result.ok()) result = files_.replaceWith(parent_, temporary, temporaryName, leafOf(target));
  if (!result.ok()) {
    discard(temporary, temporaryName);
    return failureAt(OutputProblem::CannotWrite, target.path, result.code);
  }
  result = files_.closeFile(temporary);
  if (result.ok()) return std::nullopt;
  return failureAt(OutputProblem::CannotWrite, target.path, result.code);
}

std::optional<OutputFailure> OutputTree::createOrReplace(const OutputPath& target,
                                                         const Payload& payload,
                                                         ExistingFiles existing,
                                                         WriteOutcome& outcome) {
  FsHandle file = NO_FS_HANDLE;
  const bool inParent = parent_ != NO_FS_HANDLE;
  const FsResult created =
      inParent
          ? files_.createFile(parent_, leafOf(target), file)
          : files_.createFile(root_, parentKey_ + PathChar('/') + PathString(leafOf(target)), file);
  if (created.ok()) return writeNew(target, file, payload);
  if (created.outcome == FsOutcome::Exists) {
    if (existing == ExistingFiles::Replace) return replace(target, payload);
    outcome = WriteOutcome::Kept;
    return std::nullopt;
  }
  // Below the output folder, a link or a gap on the way is found again, folder by folder.
  const bool onTheWay =
      created.outcome == FsOutcome::Link || created.outcome == FsOutcome::NotAFolder;
  if (!inParent && onTheWay) folderVanished_ = true;
  if (created.outcome == FsOutcome::Link)
    return failureAt(OutputProblem::LinkInTheWay, target.path);
  if (created.outcome == FsOutcome::TooManyOpen) ranOutOfHandles_ = true;
  if (created.outcome == FsOutcome::Missing) folderVanished_ = true;
  return failureAt(OutputProblem::CannotWrite, target.path, created.code);
}

std::optional<OutputFailure> OutputTree::writeWholeFile(const OutputPath& target,
                                                        const Payload& payload,
                                                        ExistingFiles existing,
                                                        WriteOutcome& outcome) {
  outcome = WriteOutcome::Written;
  if (leafOf(target).empty()) {
    return failureAt(OutputProblem::CannotWrite, target.path, isAFolderError());
  }
  ranOutOfHandles_ = false;
  folderVanished_ = false;
  std::optional<OutputFailure> failure = createOrReplace(target, payload, existing, outcome);
  if (!failure || (!folderVanished_ && !ranOutOfHandles_)) return failure;
  // The folder went away since it was opened, or descriptors ran out: once more, afresh.
  if (folderVanished_) forgetFolders();
  if (rootRemoved()) return rootFailure_;
  closeFolders();
  if (auto again = ensureParentDirectories(target)) return again;
  return createOrReplace(target, payload, existing, outcome);
}

}  // namespace quarry
