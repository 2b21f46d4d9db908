#include "extract/directories.h"

#include "extract/paths.h"

namespace quarry {
namespace {

// The part of the parent never created: its root part, and a drive after a device prefix.
std::size_t startingPrefixEnd(std::u16string_view parent) {
  std::size_t end = rootPartEnd(parent);
  const std::u16string_view rest = parent.substr(end);
  if (end > 0 && rest.size() >= 3 && rootNameEnd(rest) == 2 && isSeparator(rest[2])) end += 2;
  return end;
}

int codeOf(const CreateResult& result) {
  const bool made =
      result.outcome == CreateOutcome::Created || result.outcome == CreateOutcome::AlreadyExists;
  return made ? 0 : result.code;
}

}  // namespace

DirectoryResult ensureParentDirectories(const std::u16string& outputPath,
                                        const CreateDirectoryCall& create) {
  DirectoryResult result;
  result.parent = parentPathOf(outputPath);
  const std::u16string& parent = result.parent;
  int lastCode = 0;
  int latestRefusal = 0;
  std::size_t at = startingPrefixEnd(parent);
  while (at < parent.size()) {
    while (at < parent.size() && isSeparator(parent[at])) ++at;
    while (at < parent.size() && !isSeparator(parent[at])) ++at;
    const CreateResult created = create(parent.substr(0, at));
    lastCode = codeOf(created);
    if (created.outcome == CreateOutcome::Failed) latestRefusal = created.code;
  }
  result.code = lastCode != 0 && latestRefusal != 0 ? latestRefusal : lastCode;
  return result;
}

DirectoryResult ensureParentDirectories(const std::u16string& outputPath, MadeDirectories& made,
                                        const CreateDirectoryCall& create) {
  std::u16string parent = parentPathOf(outputPath);
  if (made.parents.contains(parent)) return {0, std::move(parent)};
  DirectoryResult result = ensureParentDirectories(outputPath, create);
  if (result.code == 0) made.parents.insert(result.parent);
  return result;
}

}  // namespace quarry
