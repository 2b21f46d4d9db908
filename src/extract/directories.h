// The directory chain above an entry's file: one creation call per component, every
// component attempted, and the error worth reporting chosen from what each call said.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quarry {

enum class CreateOutcome {
  Created,
  AlreadyExists,  // whatever stands there, a file included
  NotFound,       // the platform's "path not found" family: something above is missing
  Failed,         // any other refusal
  LinkInTheWay,   // a link or junction stands there: nothing below it may be made
};

struct CreateResult {
  CreateOutcome outcome = CreateOutcome::Created;
  int code = 0;  // the platform's error number when not Created
};

template <typename Char>
using CreateCall = std::function<CreateResult(const std::basic_string<Char>& directory)>;
using CreateDirectoryCall = CreateCall<char16_t>;

struct ChainResult {
  int code = 0;  // 0 when the last directory now exists, else the error number
  bool linkInTheWay = false;
  std::size_t linkEnd = 0;  // with linkInTheWay: where the link's own path ends
};

// Calls create on every prefix of path that ends a component after `start`, splitting at
// characters for which isSeparator holds. The code is the last component's; when that is an
// error, a refusal higher up (other than not-found) wins. A link stops the walk at once.
template <typename Char, typename IsSeparator>
ChainResult createChain(const std::basic_string<Char>& path, std::size_t start,
                        const CreateCall<Char>& create, IsSeparator isSeparator) {
  ChainResult result;
  int latestRefusal = 0;
  std::size_t at = start;
  while (at < path.size()) {
    while (at < path.size() && isSeparator(path[at])) ++at;
    while (at < path.size() && !isSeparator(path[at])) ++at;
    const CreateResult created = create(path.substr(0, at));
    if (created.outcome == CreateOutcome::LinkInTheWay) return {created.code, true, at};
    const bool made = created.outcome == CreateOutcome::Created ||
                      created.outcome == CreateOutcome::AlreadyExists;
    result.code = made ? 0 : created.code;
    if (created.outcome == CreateOutcome::Failed) latestRefusal = created.code;
  }
  if (result.code != 0 && latestRefusal != 0) result.code = latestRefusal;
  return result;
}

struct DirectoryResult {
  int code = 0;               // 0 when the parent directory now exists, else the error number
  std::u16string parent;      // the directory that was to exist
  bool linkInTheWay = false;  // a link stands in the chain below the starting prefix
  std::u16string link;        // with linkInTheWay: the link's path
};

// Creates every directory above outputPath with create, in the Windows grammar. The result's
// code is the last component's; when that is an error, a refusal higher up (other than
// not-found) wins.
DirectoryResult createParentChain(const std::u16string& outputPath,
                                  const CreateDirectoryCall& create);

}  // namespace quarry
