#include "extract/name_pattern.h"

#include <algorithm>

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
  if (units[at] == '[' && readSet(units, at, token)) return token;
  const char32_t unit = units[at++];
  token.kind = unit == '?' ? Kind::AnyOne : isSeparator(unit) ? Kind::Separator : Kind::Unit;
  token.unit = lowerAscii(unit);
  return token;
}

bool inSet(const PatternToken& set, char32_t unit) {
  const char32_t upper = upperAscii(unit);
  const char32_t lower = lowerAscii(unit);
  for (const PatternToken::Range& range : set.ranges) {
    const auto in = [&](char32_t u) { return u >= range.first && u <= range.last; };
    if (in(unit) || in(upper) || in(lower)) return !set.negated;
  }
  return set.negated;
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

// Adds the states reachable without reading: past every token that may match nothing.
void closeOver(const std::vector<PatternToken>& tokens, std::vector<char>& states) {
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    if (states[k] && matchesNothing(tokens[k].kind)) states[k + 1] = 1;
  }
}

}  // namespace

NamePattern compileNamePattern(std::string_view pattern) {
  NamePattern compiled{std::string(pattern), {}};
  const std::vector<char32_t> units = unitsOf(pattern);
  for (std::size_t at = 0; at < units.size();) compiled.tokens.push_back(readToken(units, at));
  return compiled;
}

bool matchesName(const NamePattern& pattern, std::string_view name) {
  const std::vector<PatternToken>& tokens = pattern.tokens;
  std::vector<char> states(tokens.size() + 1, 0);
  std::vector<char> next(tokens.size() + 1, 0);
  states[0] = 1;
  closeOver(tokens, states);
  for (std::size_t at = 0; at < name.size();) {
    const char32_t unit = unitAt(name, at);
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
      if (!states[k]) continue;
      const Moves moves = movesOn(tokens[k], unit);
      next[k] |= moves.stay;
      next[k + 1] |= moves.advance;
      any = any || moves.stay || moves.advance;
    }
    if (!any) return false;
    closeOver(tokens, next);
    states.swap(next);
  }
  return states[tokens.size()] != 0;
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
