#include "base/unicode.h"
#include "extract/paths.h"

namespace quarry {

// File names here are byte strings with no code page: names are taken as UTF-8, strictly,
// and used as they are.
std::optional<EntryProblem> convertEntryName(std::string_view name, std::string& converted, int&) {
  if (!isStrictUtf8(name)) return EntryProblem::NameNotUtf8;
  converted.assign(name);
  return std::nullopt;
}

}  // namespace quarry
