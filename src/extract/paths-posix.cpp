#include "base/unicode.h"
#include "extract/paths.h"

namespace quarry {

PathString nativePath(const std::u16string& path) {
  return encodeLossless(path);
}

// The folder is a plain path here; the name's backslashes separate folders, as slashes do.
OutputPath joinOutputPath(PathView folder, PathView name) {
  OutputPath joined{std::string(folder), 0};
  if (!folder.empty() && folder.back() != '/') joined.path.push_back('/');
  joined.nameStart = joined.path.size();
  joined.path.append(name);
  for (std::size_t at = joined.nameStart; at < joined.path.size(); ++at) {
    if (joined.path[at] == '\\') joined.path[at] = '/';
  }
  return joined;
}

// File names here are byte strings with no code page: names are taken as UTF-8, strictly,
// and used as they are.
std::optional<NameFailure> convertEntryName(std::string_view name, std::string& converted) {
  if (!isStrictUtf8(name)) return NameFailure(NameProblem::NotUtf8);
  converted.assign(name);
  return std::nullopt;
}

}  // namespace quarry
