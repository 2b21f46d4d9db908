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

// Creates every component of parent in turn; returns the code worth reporting.
int createChain(const std::u16string& parent, const CreateDirectoryCall& create) {
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
  return lastCode != 0 && latestRefusal != 0 ? latestRefusal : lastCode;
}

}  // namespace

DirectoryResult ensureParentDirectories(const std::u16string& outputPath,
                                        const CreateDirectoryCall& create) {
  std::u16string parent = parentPathOf(outputPath);
  const int code = createChain(parent, create);
  return {code, std::move(parent)};
}

DirectoryResult ensureParentDirectories(const std::u16string& outputPath, MadeDirectories& made,
                                        const CreateDirectoryCall& create) {
  std::u16string parent = parentPathOf(outputPath);
  if (made.parents.contains(parent)) return {0, std::move(parent)};
  const int code = createChain(parent, create);
  if (code == 0) made.parents.insert(parent);
  return {code, std::move(parent)};
}

}  // namespace quarry
