// A file's identity as stat describes it (POSIX).
#pragma once

#include <sys/stat.h>

#include "base/file_identity.h"

namespace quarry {

inline FileIdentity identityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace quarry
