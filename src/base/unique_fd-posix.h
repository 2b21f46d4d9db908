// A POSIX descriptor with one owner, closed when the owner goes.
#pragma once

#include <unistd.h>

#include "base/unique_owner.h"

namespace quarry {

struct Descriptor {
  using Value = int;
  static constexpr int NONE = -1;
  static bool isNone(int fd) { return fd < 0; }
  static void giveBack(int fd) { close(fd); }
};

using UniqueFd = UniqueOwner<Descriptor>;

}  // namespace quarry
