#include "extract/name_pattern.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/unicode.h"

namespace quarry {
namespace {

using Kind = PatternToken::Kind;

bool isSeparator(char32_t unit) {
  return unit == '/' || unit == '\\';
}

char32_t lowerAscii(char32_t unit) {
  return unit >= 'A' && unit <= 'Z' ? unit + ('a' - 'A') : unit;
}

char32_t upperAscii(char32_t unit) {
  return unit >= 'a' && unit <= 'z' ? unit - ('a' - 'A') : unit;
}

// The unit at bytes[at], moving at past it.
char32_t unitAt(std::string_view bytes, std::size_t& at) {
  char32_t codePoint = 0;
  const std::size_t length = utf8SequenceAt(bytes, at, codePoint);
  if (length == 0) return INVALID_BYTE_UNIT + static_cast<std::uint8_t>(bytes[at++]);
  at += length;
  return codePoint;
}

std::vector<char32_t> unitsOf(std::string_view bytes) {
  std::vector<char32_t> units;
  for (std::size_t at = 0; at < bytes.size();) units.push_back(unitAt(bytes, at));
  return units;
}

// Reads the set that opens at units[at] ("["); false, with nothing read, when it never closes.
bool readSet(const std::vector<char32_t>& units, std::size_t& at, PatternToken& set) {
  std::size_t k = at + 1;
  set.kind = Kind::Set;
  set.negated = k < units.size() && (units[k] == '!' || units[k] == '^');
  if (set.negated) ++k;
  for (bool first = true; k < units.size() && (first || units[k] != ']'); first = false) {
    PatternToken::Range range{units[k], units[k]};
    if (k + 2 < units.size() && units[k + 1] == '-' && units[k + 2] != ']') {
      range.last = units[k + 2];
      k += 2;
    }
    set.ranges.push_back(range);
    ++k;
  }
  if (k >= units.size()) return false;
  at = k + 1;
  return true;
}

// Sorts the set's ranges and merges those that overlap or touch, so a unit is looked up in
// logarithmic time however long the set was typed; a range typed backwards holds nothing.
void normaliseRanges(std::vector<PatternToken::Range>& ranges) {
  using Range = PatternToken::Range;
  std::erase_if(ranges, [](const Range& range) { return range.first > range.last; });
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  std::vector<Range> merged;
  for (const Range& range : ranges) {
    if (!merged.empty() && range.first <= merged.back().last + 1) {
      merged.back().last = std::max(merged.back().last, range.last);
    } else {
      merged.push_back(range);
    }
  }
  ranges = std::move(merged);
}

// Reads a run of "*" at units[at]: one is AnyRun; two or more cross levels, and when they
// make a whole component with the separator after them, they may also match nothing at all.
PatternToken readStars(const std::vector<char32_t>& units, std::size_t& at) {
  const bool startsComponent = at == 0 || isSeparator(units[at - 1]);
  std::size_t end = at;
  while (end < units.size() && units[end] == '*') ++end;
  PatternToken token;
  token.kind = end - at == 1 ? Kind::AnyRun : Kind::AnyLevels;
  if (token.kind == Kind::AnyLevels && startsComponent && end < units.size() &&
      isSeparator(units[end])) {
    token.kind = Kind::AnyFolders;
    ++end;
  }
  at = end;
  return token;
}

PatternToken readToken(const std::vector<char32_t>& units, std::size_t& at) {
  PatternToken token;
  if (units[at] == '*') return readStars(units, at);
  if (units[at] == '[' && readSet(units, at, token)) {
    normaliseRanges(token.ranges);
    return token;
  }
  const char32_t unit = units[at++];
  token.kind = unit == '?' ? Kind::AnyOne : isSeparator(unit) ? Kind::Separator : Kind::Unit;
  token.unit = lowerAscii(unit);
  return token;
}

bool inRanges(const std::vector<PatternToken::Range>& ranges, char32_t unit) {
  const auto after = std::upper_bound(
      ranges.begin(), ranges.end(), unit,
      [](char32_t u, const PatternToken::Range& range) { return u < range.first; });
  return after != ranges.begin() && unit <= std::prev(after)->last;
}

bool inSet(const PatternToken& set, char32_t unit) {
  const bool in = inRanges(set.ranges, unit) || inRanges(set.ranges, upperAscii(unit)) ||
                  inRanges(set.ranges, lowerAscii(unit));
  return in != set.negated;
}

// The states after reading unit from state: at the token again, past it, both or neither.
struct Moves {
  bool stay = false;
  bool advance = false;
};

Moves movesOn(const PatternToken& token, char32_t unit) {
  const bool separator = isSeparator(unit);
  switch (token.kind) {
    case Kind::Unit:
      return {false, lowerAscii(unit) == token.unit};
    case Kind::Separator:
      return {false, separator};
    case Kind::AnyOne:
      return {false, !separator};
    case Kind::Set:
      return {false, !separator && inSet(token, unit)};
    case Kind::AnyRun:
      return {!separator, false};
    case Kind::AnyLevels:
      return {true, false};
    case Kind::AnyFolders:
      return {true, separator};
  }
  return {};
}

bool matchesNothing(Kind kind) {
  return kind == Kind::AnyRun || kind == Kind::AnyLevels || kind == Kind::AnyFolders;
}

bool readsOneUnit(Kind kind) {
  return !matchesNothing(kind);
}

// Two star tokens in a row that match what one of them matches: "**" beside any star, or two
// of a kind ("**/**/" is "**/"). "**/*" stays two: the second keeps to one level.
bool absorbs(Kind before, Kind after) {
  return before == after || before == Kind::AnyLevels || after == Kind::AnyLevels;
}

void appendToken(std::vector<PatternToken>& tokens, PatternToken token) {
  if (!tokens.empty() && matchesNothing(tokens.back().kind) && matchesNothing(token.kind) &&
      absorbs(tokens.back().kind, token.kind)) {
    if (token.kind == Kind::AnyLevels) tokens.back().kind = Kind::AnyLevels;
    return;
  }
  tokens.push_back(std::move(token));
}

std::vector<std::size_t> unitsNeededFrom(const std::vector<PatternToken>& tokens) {
  std::vector<std::size_t> needed(tokens.size() + 1, 0);
  for (std::size_t k = tokens.size(); k-- > 0;) {
    needed[k] = needed[k + 1] + (readsOneUnit(tokens[k].kind) ? 1 : 0);
  }
  return needed;
}

// The states a name may be in, as flags; every flag outside low..high is clear.
struct LiveStates {
  std::vector<char> on;
  std::size_t low = SIZE_MAX;
  std::size_t high = 0;
};

void mark(LiveStates& states, std::size_t k) {
  states.on[k] = 1;
  states.low = std::min(states.low, k);
  states.high = std::max(states.high, k);
}

// Adds the states reachable without reading: past every token that may match nothing.
void closeOver(const std::vector<PatternToken>& tokens, LiveStates& states) {
  for (std::size_t k = states.low; k <= states.high && k < tokens.size(); ++k) {
    if (states.on[k] && matchesNothing(tokens[k].kind)) mark(states, k + 1);
  }
}

// Moves every live state over unit into next (left clear before), clearing them in states. A
// state whose tokens need more units than the bytes left can no longer end a match: it goes.
void step(const NamePattern& pattern, char32_t unit, std::size_t bytesLeft, LiveStates& states,
          LiveStates& next) {
  const std::vector<PatternToken>& tokens = pattern.tokens;
  for (std::size_t k = states.low; k <= states.high; ++k) {
    if (!states.on[k]) continue;
    states.on[k] = 0;
    if (k == tokens.size()) continue;  // the end reads nothing more
    const Moves moves = movesOn(tokens[k], unit);
    if (moves.stay && pattern.unitsNeededFrom[k] <= bytesLeft) mark(next, k);
    if (moves.advance && pattern.unitsNeededFrom[k + 1] <= bytesLeft) mark(next, k + 1);
  }
  states.low = SIZE_MAX;
  states.high = 0;
  closeOver(tokens, next);
}

}  // namespace

NamePattern compileNamePattern(std::string_view pattern) {
  NamePattern compiled{std::string(pattern), {}, {}};
  const std::vector<char32_t> units = unitsOf(pattern);
  for (std::size_t at = 0; at < units.size();) appendToken(compiled.tokens, readToken(units, at));
  compiled.unitsNeededFrom = unitsNeededFrom(compiled.tokens);
  return compiled;
}

// Each unit is at least one byte, so a pattern that needs more units than the name has bytes
// is answered before anything is allocated.
bool matchesName(const NamePattern& pattern, std::string_view name) {
  if (pattern.unitsNeededFrom.front() > name.size()) return false;
  const std::size_t states = pattern.tokens.size() + 1;
  LiveStates live{std::vector<char>(states, 0)};
  LiveStates next{std::vector<char>(states, 0)};
  mark(live, 0);
  closeOver(pattern.tokens, live);
  for (std::size_t at = 0; at < name.size();) {
    const char32_t unit = unitAt(name, at);
    step(pattern, unit, name.size() - at, live, next);
    if (next.low > next.high) return false;
    std::swap(live, next);
  }
  return live.on.back() != 0;
}

PatternSet::PatternSet(const std::vector<std::string>& patterns)
    : matched_(patterns.size(), false) {
  for (const std::string& pattern : patterns) patterns_.push_back(compileNamePattern(pattern));
}

bool PatternSet::selects(std::string_view name) {
  bool selected = patterns_.empty();
  for (std::size_t k = 0; k < patterns_.size(); ++k) {
    if (matched_[k]) continue;
    if (matchesName(patterns_[k], name)) matched_[k] = selected = true;
  }
  for (std::size_t k = 0; k < patterns_.size() && !selected; ++k) {
    selected = matched_[k] && matchesName(patterns_[k], name);
  }
  return selected;
}

std::vector<std::string> PatternSet::unmatched() const {
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < patterns_.size(); ++k) {
    if (!matched_[k]) texts.push_back(patterns_[k].text);
  }
  return texts;
}

}  // namespace quarry
