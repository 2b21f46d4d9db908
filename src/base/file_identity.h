// Which file an open handle or a name is, across names and hard links.
#pragma once

#include <cstdint>

namespace quarry {

// The volume (device) and the file's number on it: equal for two names of one file.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t object = 0;
  bool operator==(const FileIdentity&) const = default;
};

}  // namespace quarry
