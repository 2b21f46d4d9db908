#include "extract/directories.h"

#include "extract/paths.h"

namespace quarry {
namespace {

// The part of the folder never made: its root part, and a drive after a device prefix.
std::size_t startingPrefixEnd(std::u16string_view folder) {
  std::size_t end = rootPartEnd(folder);
  const std::u16string_view rest = folder.substr(end);
  if (end > 0 && rest.size() >= 3 && rootNameEnd(rest) == 2 && isSeparator(rest[2])) end += 2;
  return end;
}

}  // namespace

FsResult makeFolderPath(std::u16string_view folder, const MakeFolderCall<char16_t>& make) {
  // The parent of a name below the folder: the folder less its trailing separators, never
  // cut into its root part.
  const std::u16string path = parentPathOf(joinBelow(folder, u"x"));
  return makeFolderChain(path, startingPrefixEnd(path), make, isSeparator<char16_t>);
}

}  // namespace quarry
