// Arbitrary bytes as a pattern and an entry name (split at the first NUL): the pattern is
// compiled and matched, and the name is listed as --list and --list --json would show it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/messages.h"
#include "extract/name_pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarry;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view pattern = input.substr(0, split);
  const std::string_view name = split == std::string_view::npos ? "" : input.substr(split + 1);
  volatile bool matched = matchesName(compileNamePattern(pattern), name);
  (void)matched;
  ListedEntry entry;
  entry.name = name;
  entry.size = entry.storedSize = size;
  // Every other input also as the container of a list of several, its column as wide.
  if (size % 2 == 1) {
    entry.container = name;
    entry.containerColumn = size;
    entry.replaced = true;
  }
  // A JSON line is one line: no raw control byte may reach a terminal or break the stream.
  for (const char byte : listingJsonLine(entry)) {
    if (static_cast<unsigned char>(byte) < 0x20) std::abort();
  }
  volatile std::size_t length = listingLine(entry).size();
  (void)length;
  return 0;
}
