// Character classes, case mapping and comparison, for a Windows library that Quarry loaded:
// what a C runtime's start-up asks to build its character tables and its case conversions.
// Every locale is treated alike, and text is classified for the ASCII range exactly as Windows
// classifies it; beyond it only the Latin-1 letters are known as letters.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"

namespace quarry::kernel32 {
namespace {

using Word = std::uint16_t;

constexpr Dword ERROR_INVALID_FLAGS = 1004;

// GetStringTypeW's kinds of answer, and the classes of each.
constexpr Dword CT_CTYPE1 = 1;
constexpr Dword CT_CTYPE2 = 2;
constexpr Dword CT_CTYPE3 = 4;

constexpr Word C1_UPPER = 0x1;
constexpr Word C1_LOWER = 0x2;
constexpr Word C1_DIGIT = 0x4;
constexpr Word C1_SPACE = 0x8;
constexpr Word C1_PUNCT = 0x10;
constexpr Word C1_CNTRL = 0x20;
constexpr Word C1_BLANK = 0x40;
constexpr Word C1_XDIGIT = 0x80;
constexpr Word C1_ALPHA = 0x100;
constexpr Word C1_DEFINED = 0x200;

constexpr Word C2_LEFTTORIGHT = 1;
constexpr Word C2_EUROPENUMBER = 3;
constexpr Word C2_EUROPESEPARATOR = 4;
constexpr Word C2_EUROPETERMINATOR = 5;
constexpr Word C2_COMMONSEPARATOR = 7;
constexpr Word C2_BLOCKSEPARATOR = 8;
constexpr Word C2_SEGMENTSEPARATOR = 9;
constexpr Word C2_WHITESPACE = 10;
constexpr Word C2_OTHERNEUTRAL = 11;
constexpr Word C2_NOTAPPLICABLE = 0;

constexpr Word C3_SYMBOL = 0x8;
constexpr Word C3_HALFWIDTH = 0x40;
constexpr Word C3_HIGHSURROGATE = 0x800;
constexpr Word C3_LOWSURROGATE = 0x1000;
constexpr Word C3_ALPHA = 0x8000;

constexpr Dword LCMAP_LOWERCASE = 0x100;
constexpr Dword LCMAP_UPPERCASE = 0x200;
constexpr Dword LCMAP_SORTKEY = 0x400;
constexpr Dword NORM_IGNORECASE = 0x1;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

bool between(char16_t unit, char16_t first, char16_t last) {
  return unit >= first && unit <= last;
}

// The Latin-1 letters whose other case is 0x20 away; the few others (ß, ÿ, µ) keep theirs.
bool isUpperLetter(char16_t unit) {
  return between(unit, u'A', u'Z') || (between(unit, 0xC0, 0xDE) && unit != 0xD7);
}

bool isLowerLetter(char16_t unit) {
  return between(unit, u'a', u'z') || (between(unit, 0xDF, 0xFF) && unit != 0xF7) || unit == 0xB5;
}

bool isLetter(char16_t unit) {
  return isUpperLetter(unit) || isLowerLetter(unit) || unit == 0xAA || unit == 0xBA;
}

char16_t toLower(char16_t unit) {
  return isUpperLetter(unit) ? static_cast<char16_t>(unit + 0x20) : unit;
}

char16_t toUpper(char16_t unit) {
  const bool paired = between(unit, u'a', u'z') || (between(unit, 0xE0, 0xFE) && unit != 0xF7);
  return paired ? static_cast<char16_t>(unit - 0x20) : unit;
}

char16_t unchanged(char16_t unit) {
  return unit;
}

bool isAsciiPunctuation(char16_t unit) {
  return between(unit, 0x21, 0x7E) && !isLetter(unit) && !between(unit, u'0', u'9');
}

// Windows' classes for the ASCII range: controls, of which tab, the line and page breaks and
// the separators 0x1C-0x1F are also spaces; the space; digits, letters, punctuation.
Word asciiType1(char16_t unit) {
  if (unit == u' ') return C1_SPACE | C1_BLANK | C1_DEFINED;
  if (unit == u'\t') return C1_CNTRL | C1_SPACE | C1_BLANK | C1_DEFINED;
  if (between(unit, 0x0A, 0x0D) || between(unit, 0x1C, 0x1F)) {
    return C1_CNTRL | C1_SPACE | C1_DEFINED;
  }
  if (unit < 0x20 || unit == 0x7F) return C1_CNTRL | C1_DEFINED;
  if (between(unit, u'0', u'9')) return C1_DIGIT | C1_XDIGIT | C1_DEFINED;
  if (isAsciiPunctuation(unit)) return C1_PUNCT | C1_DEFINED;
  const Word hex = between(toLower(unit), u'a', u'f') ? C1_XDIGIT : 0;
  return (isUpperLetter(unit) ? C1_UPPER : C1_LOWER) | hex | C1_ALPHA | C1_DEFINED;
}

Word type1(char16_t unit) {
  if (unit < 0x80) return asciiType1(unit);
  if (isUpperLetter(unit)) return C1_UPPER | C1_ALPHA | C1_DEFINED;
  if (isLowerLetter(unit)) return C1_LOWER | C1_ALPHA | C1_DEFINED;
  return isLetter(unit) ? C1_ALPHA | C1_DEFINED : C1_DEFINED;
}

// Directions, as Unicode gives them to the ASCII range; beyond it letters run left to right
// and the rest is not known.
Word asciiType2(char16_t unit) {
  if (unit == 0x0A || unit == 0x0D || between(unit, 0x1C, 0x1E)) return C2_BLOCKSEPARATOR;
  if (unit == u'\t' || unit == 0x0B || unit == 0x1F) return C2_SEGMENTSEPARATOR;
  if (unit == 0x0C || unit == u' ') return C2_WHITESPACE;
  if (unit < 0x20 || unit == 0x7F) return C2_NOTAPPLICABLE;
  if (between(unit, u'0', u'9')) return C2_EUROPENUMBER;
  if (isLetter(unit)) return C2_LEFTTORIGHT;
  if (std::u16string_view(u"#$%").find(unit) != std::u16string_view::npos) {
    return C2_EUROPETERMINATOR;
  }
  if (unit == u'+' || unit == u'-') return C2_EUROPESEPARATOR;
  if (std::u16string_view(u",./:").find(unit) != std::u16string_view::npos) {
    return C2_COMMONSEPARATOR;
  }
  return C2_OTHERNEUTRAL;
}

Word type2(char16_t unit) {
  if (unit < 0x80) return asciiType2(unit);
  return isLetter(unit) ? C2_LEFTTORIGHT : C2_NOTAPPLICABLE;
}

// Letters, ASCII's symbols and widths, and the halves of surrogate pairs.
Word type3(char16_t unit) {
  if (between(unit, 0xD800, 0xDBFF)) return C3_HIGHSURROGATE;
  if (between(unit, 0xDC00, 0xDFFF)) return C3_LOWSURROGATE;
  const Word width = between(unit, 0x20, 0x7E) ? C3_HALFWIDTH : 0;
  if (isLetter(unit)) return C3_ALPHA | width;
  const bool symbol = std::u16string_view(u"$+<=>^`|~").find(unit) != std::u16string_view::npos;
  return (symbol ? C3_SYMBOL : 0) | width;
}

// The text a call reads: a length of -1 runs through the terminating NUL when withNul, else
// up to it; other negative lengths and null text are refused.
bool textOf(const WideChar* text, int length, bool withNul, std::u16string_view& out) {
  if (text == nullptr || length < -1) return false;
  const std::size_t size = length == -1 ? std::char_traits<char16_t>::length(text) + withNul
                                        : static_cast<std::size_t>(length);
  out = std::u16string_view(text, size);
  return true;
}

QUARRY_WINAPI Bool GetStringTypeW(Dword kind, const WideChar* text, int length, Word* types) {
  std::u16string_view units;
  if (!textOf(text, length, true, units) || units.empty() || types == nullptr ||
      static_cast<const void*>(types) == static_cast<const void*>(text)) {
    return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  }
  Word (*classify)(char16_t) = kind == CT_CTYPE1   ? type1
                               : kind == CT_CTYPE2 ? type2
                               : kind == CT_CTYPE3 ? type3
                                                   : nullptr;
  if (classify == nullptr) return failWith(ERROR_INVALID_FLAGS, BOOL_FALSE);
  std::transform(units.begin(), units.end(), types, classify);
  return BOOL_TRUE;
}

// Case mapping only: the other mappings (widths, kana, scripts, linguistic casing) leave the
// text as it is, which for the ASCII text a C runtime maps is what they give. A sort key is a
// different thing from text, and Quarry does not make one.
int mapString(Dword flags, const WideChar* source, int sourceLength, WideChar* out, int room) {
  const Dword cases = flags & (LCMAP_LOWERCASE | LCMAP_UPPERCASE);
  if ((flags & LCMAP_SORTKEY) != 0 || cases == (LCMAP_LOWERCASE | LCMAP_UPPERCASE)) {
    return failWith(ERROR_INVALID_FLAGS, 0);
  }
  std::u16string_view text;
  if (!textOf(source, sourceLength, true, text) || text.empty() || room < 0 ||
      (room > 0 && out == nullptr) || text.size() > INT32_MAX) {
    return failWith(ERROR_INVALID_PARAMETER, 0);
  }
  const int size = static_cast<int>(text.size());
  if (room == 0) return size;
  if (room < size) return failWith(ERROR_INSUFFICIENT_BUFFER, 0);
  char16_t (*map)(char16_t) = cases == LCMAP_LOWERCASE   ? toLower
                              : cases == LCMAP_UPPERCASE ? toUpper
                                                         : unchanged;
  std::transform(text.begin(), text.end(), out, map);
  return size;
}

QUARRY_WINAPI int LCMapStringW(Dword, Dword flags, const WideChar* source, int sourceLength,
                               WideChar* out, int room) {
  return mapString(flags, source, sourceLength, out, room);
}

QUARRY_WINAPI int LCMapStringEx(const WideChar*, Dword flags, const WideChar* source,
                                int sourceLength, WideChar* out, int room, void*, void*,
                                std::intptr_t) {
  return mapString(flags, source, sourceLength, out, room);
}

// By code unit rather than by a language's collation (which no decoder's result depends on);
// ignoring case folds the letters LCMapStringW maps. Other flags change nothing here.
int compareStrings(Dword flags, const WideChar* first, int firstLength, const WideChar* second,
                   int secondLength) {
  std::u16string_view a, b;
  if (!textOf(first, firstLength, false, a) || !textOf(second, secondLength, false, b)) {
    return failWith(ERROR_INVALID_PARAMETER, 0);
  }
  const bool foldCase = (flags & NORM_IGNORECASE) != 0;
  const auto fold = [foldCase](char16_t unit) { return foldCase ? toLower(unit) : unit; };
  const auto [atA, atB] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
  if (atA == a.end() && atB == b.end()) return CSTR_EQUAL;
  if (atA == a.end()) return CSTR_LESS_THAN;
  if (atB == b.end()) return CSTR_GREATER_THAN;
  return fold(*atA) < fold(*atB) ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

QUARRY_WINAPI int CompareStringW(Dword, Dword flags, const WideChar* first, int firstLength,
                                 const WideChar* second, int secondLength) {
  return compareStrings(flags, first, firstLength, second, secondLength);
}

QUARRY_WINAPI int CompareStringEx(const WideChar*, Dword flags, const WideChar* first,
                                  int firstLength, const WideChar* second, int secondLength, void*,
                                  void*, std::intptr_t) {
  return compareStrings(flags, first, firstLength, second, secondLength);
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetStringTypeW),  QUARRY_KERNEL32_FUNCTION(LCMapStringW),
    QUARRY_KERNEL32_FUNCTION(LCMapStringEx),   QUARRY_KERNEL32_FUNCTION(CompareStringW),
    QUARRY_KERNEL32_FUNCTION(CompareStringEx),
};

}  // namespace

std::span<const Function> localeFunctions() {
  return FUNCTIONS;
}

}  // namespace quarry::kernel32
