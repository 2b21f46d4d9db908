// Case folded the way Windows' names compare for what Quarry matches by hand (module names,
// device names): A to Z only, every other unit as it is.
#pragma once

#include <cstddef>
#include <string_view>

namespace quarry {

template <typename Char>
constexpr Char asciiUpper(Char c) {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

// True when a and b hold the same units once a to z are made upper case. The two may be of
// different widths (a byte name against a UTF-16 device name): units compare by value, so a
// byte above 0x7F never equals an ASCII letter.
template <typename CharA, typename CharB>
constexpr bool equalIgnoringCase(std::basic_string_view<CharA> a, std::basic_string_view<CharB> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (static_cast<char32_t>(asciiUpper(a[k])) != static_cast<char32_t>(asciiUpper(b[k]))) {
      return false;
    }
  }
  return true;
}

}  // namespace quarry
