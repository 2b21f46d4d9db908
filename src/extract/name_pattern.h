// Patterns that select entries by name: "*" and "?" within one folder level, "**" across
// levels, "[...]" sets; "/" and "\" are the same separator; ASCII letters match in any case.
// Matching walks all the pattern's live states at once, so its time is bounded by the name's
// length times the states a name of that length can still be in, whatever a hostile container
// names its entries or a hostile line types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarry {

// One step of a compiled pattern. Units are code points; a byte that is not part of
// well-formed UTF-8 stands for itself as INVALID_BYTE_UNIT + byte, so it matches only itself.
struct PatternToken {
  enum class Kind : std::uint8_t {
    Unit,        // the one unit (ASCII letters folded to lower case)
    Separator,   // "/" or "\"
    AnyOne,      // "?": one unit within a level
    Set,         // "[...]": one unit within a level, in (or, negated, not in) the ranges
    AnyRun,      // "*": any units within a level, none included
    AnyLevels,   // "**": any units, separators included
    AnyFolders,  // "**/": nothing, or any units that end with a separator
  };
  struct Range {
    char32_t first = 0;
    char32_t last = 0;
  };
  Kind kind = Kind::Unit;
  char32_t unit = 0;
  bool negated = false;
  std::vector<Range> ranges;  // sorted by first, none overlapping or touching another
};

constexpr char32_t INVALID_BYTE_UNIT = 0x110000;

// A compiled pattern and the text it was compiled from. Runs of stars that mean the same as one
// are one token, so a pattern of stars costs what one star does.
struct NamePattern {
  std::string text;
  std::vector<PatternToken> tokens;
  // Per token, and one past the last: how many units the tokens from it on read at least (one
  // per unit, separator, "?" and set). A name with fewer bytes than that is never walked.
  std::vector<std::size_t> unitsNeededFrom;
};

// Compiles pattern (UTF-8, as typed). Every text is a pattern: a "[" without its "]" stands
// for itself, and "[*]", "[?]", "[[]" are how those characters are matched literally.
NamePattern compileNamePattern(std::string_view pattern);

// True when the pattern matches the whole of name.
bool matchesName(const NamePattern& pattern, std::string_view name);

// The patterns of a run, and which of them have matched an entry so far.
class PatternSet {
 public:
  explicit PatternSet(const std::vector<std::string>& patterns);

  // True when any pattern matches name, or when there are no patterns at all. Every pattern
  // that has not matched before is tried, so each one's first match is noticed.
  bool selects(std::string_view name);

  // The patterns, as typed, that matched no name given to selects, in the order given.
  std::vector<std::string> unmatched() const;

  bool empty() const { return patterns_.empty(); }

 private:
  std::vector<NamePattern> patterns_;
  std::vector<bool> matched_;
};

}  // namespace quarry
