#include "container/container_files.h"

#include <algorithm>
#include <vector>

#include "base/ascii_case.h"

namespace quarry {
namespace {

constexpr std::u16string_view CONTAINER_SUFFIX = u".resources";

bool isPathSeparator(char16_t c) {
  return c == u'/' || c == u'\\';
}

}  // namespace

bool isContainerName(std::u16string_view name) {
  return name.size() >= CONTAINER_SUFFIX.size() &&
         equalIgnoringCase(name.substr(name.size() - CONTAINER_SUFFIX.size()), CONTAINER_SUFFIX);
}

void sortContainerFiles(std::vector<ContainerFile>& files) {
  // std::string compares its chars as unsigned bytes.
  std::sort(files.begin(), files.end(),
            [](const ContainerFile& a, const ContainerFile& b) { return a.shown < b.shown; });
}

std::size_t wildcardStart(std::u16string_view argument) {
  std::size_t start = argument.size();
  while (start > 0 && !isPathSeparator(argument[start - 1]) && argument[start - 1] != u':') {
    --start;
  }
  const std::u16string_view last = argument.substr(start);
  return last.find_first_of(u"*?") == std::u16string_view::npos ? std::u16string_view::npos : start;
}

// Every position of the wildcard that the name read so far can have reached, at once.
bool matchesWildcard(std::u16string_view wildcard, std::u16string_view name) {
  std::vector<bool> reached(wildcard.size() + 1, false);
  std::vector<bool> next(wildcard.size() + 1, false);
  const auto close = [&wildcard](std::vector<bool>& states) {
    for (std::size_t at = 0; at < wildcard.size(); ++at) {
      if (states[at] && wildcard[at] == u'*') states[at + 1] = true;
    }
  };
  reached[0] = true;
  close(reached);
  for (const char16_t unit : name) {
    std::fill(next.begin(), next.end(), false);
    for (std::size_t at = 0; at < wildcard.size(); ++at) {
      if (!reached[at]) continue;
      const char16_t want = wildcard[at];
      if (want == u'*') {
        next[at] = true;
      } else if (want == u'?' || asciiUpper(want) == asciiUpper(unit)) {
        next[at + 1] = true;
      }
    }
    close(next);
    reached.swap(next);
  }
  return reached[wildcard.size()];
}

}  // namespace quarry
