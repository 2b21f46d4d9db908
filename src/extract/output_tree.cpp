#include "extract/output_tree.h"

#include "extract/output_failure.h"

namespace quarry {

OutputTree::OutputTree(FileSystem& files, PathString folder,
                       std::vector<ProtectedFile> protectedFiles)
    : files_(files), folders_(files, std::move(folder)), protected_(std::move(protectedFiles)) {}

std::optional<OutputFailure> OutputTree::ensureParentDirectories(const OutputPath& target) {
  FolderCache::Answer answer = folders_.parentOf(target);
  parent_ = answer.folder;
  return answer.failure;
}

bool OutputTree::standsAlready(const OutputPath& target) {
  Node node;
  return parent_ != NO_FS_HANDLE && !leafOf(target).empty() &&
         files_.inspect(parent_, leafOf(target), node).ok();
}

std::optional<OutputFailure> OutputTree::writeWholeFile(const OutputPath& target,
                                                        const Payload& payload,
                                                        ExistingFiles existing,
                                                        WriteOutcome& outcome) {
  outcome = WriteOutcome::Written;
  if (leafOf(target).empty()) {
    return failureAt(OutputProblem::CannotWrite, target.path, isAFolderError());
  }
  WriteAnswer answer = writeFileIn(files_, parent_, target, payload, existing, protected_);
  if (answer.failure && answer.retry != Retry::No) {
    // The folder went away since it was opened, or handles ran out: once more, afresh.
    if (answer.retry == Retry::FolderGone) folders_.forget();
    if (folders_.rootRemoved()) return folders_.rootFailure();
    folders_.letGo();
    if (auto again = ensureParentDirectories(target)) return again;
    answer = writeFileIn(files_, parent_, target, payload, existing, protected_);
  }
  outcome = answer.outcome;
  return answer.failure;
}

}  // namespace quarry
