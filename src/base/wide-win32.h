// Windows' wide strings are UTF-16 too: Quarry's char16_t text passes to the W functions as is.
#pragma once

#include <string>

namespace quarry {

// The same units, seen through wchar_t.
inline const wchar_t* asWide(const std::u16string& text) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace quarry
