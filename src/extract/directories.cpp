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

DirectoryResult createParent(std::u16string parent, const CreateDirectoryCall& create) {
  const ChainResult chain =
      createChain(parent, startingPrefixEnd(parent), create, isSeparator<char16_t>);
  DirectoryResult result;
  result.code = chain.code;
  result.parent = std::move(parent);
  if (chain.linkInTheWay) {
    result.linkInTheWay = true;
    result.link = result.parent.substr(0, chain.linkEnd);
  }
  return result;
}

}  // namespace

DirectoryResult createParentChain(const std::u16string& outputPath,
                                  const CreateDirectoryCall& create) {
  return createParent(parentPathOf(outputPath), create);
}

}  // namespace quarry
