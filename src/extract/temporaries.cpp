#include "extract/temporaries.h"

#include <string>
#include <string_view>

namespace quarry {
namespace {

constexpr std::string_view PREFIX = ".quarry-";
constexpr std::string_view SUFFIX = ".part";

// Digits only, at least one, without a leading zero unless alone; false on anything else.
bool readNumber(PathView text, std::uint64_t& number) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == PathChar('0'))) {
    return false;
  }
  number = 0;
  for (const PathChar unit : text) {
    if (unit < PathChar('0') || unit > PathChar('9')) return false;
    number = number * 10 + static_cast<std::uint64_t>(unit - PathChar('0'));
  }
  return true;
}

bool startsWith(PathView text, std::string_view start) {
  if (text.size() < start.size()) return false;
  for (std::size_t k = 0; k < start.size(); ++k) {
    if (text[k] != PathChar(start[k])) return false;
  }
  return true;
}

}  // namespace

PathString temporaryName(std::uint64_t process, std::uint64_t number) {
  const std::string name = std::string(PREFIX) + std::to_string(process) + "-" +
                           std::to_string(number) + std::string(SUFFIX);
  return PathString(name.begin(), name.end());
}

std::optional<std::uint64_t> temporaryOwner(PathView name) {
  if (!startsWith(name, PREFIX) || name.size() < PREFIX.size() + SUFFIX.size()) return {};
  if (!startsWith(name.substr(name.size() - SUFFIX.size()), SUFFIX)) return {};
  const PathView middle = name.substr(PREFIX.size(), name.size() - PREFIX.size() - SUFFIX.size());
  const std::size_t dash = middle.find(PathChar('-'));
  std::uint64_t process = 0;
  std::uint64_t number = 0;
  if (dash == PathView::npos || !readNumber(middle.substr(0, dash), process) ||
      !readNumber(middle.substr(dash + 1), number)) {
    return {};
  }
  return process;
}

}  // namespace quarry
