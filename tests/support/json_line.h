// A reader for the flat JSON objects Quarry writes one per line, so tests check what a tool
// would read rather than the bytes Quarry happened to write.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quarry::testing {

// A member's value: a string (UTF-8), a whole number that fits 64 bits, or true or false (as
// the number 1 or 0).
struct JsonValue {
  bool isString = false;
  bool isBoolean = false;
  std::string text;
  std::uint64_t number = 0;
};

// The members of one object, which must be the whole of line with nothing after it; nothing
// when the line is not such an object, has a string that is not proper JSON (raw controls,
// bad escapes, lone surrogates, bytes that are not UTF-8), or repeats a member.
std::optional<std::map<std::string, JsonValue>> readJsonObject(std::string_view line);

// Bytes from lower-case hex, two digits a byte; nothing for anything else.
std::optional<std::string> bytesFromHex(std::string_view hex);

}  // namespace quarry::testing
