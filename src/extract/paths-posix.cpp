#include "extract/paths.h"
#include "extract/text.h"

namespace quarry {

// File names here are byte strings with no code page: names are taken as UTF-8, strictly.
bool convertEntryName(std::string_view name, std::u16string& wide, std::string& why) {
  if (decodeUtf8Strict(name, wide)) return true;
  why = "its name is not valid UTF-8";
  return false;
}

}  // namespace quarry
