// Pages mapped with mmap, with one owner, unmapped when the owner goes.
#pragma once

#include <sys/mman.h>

#include <cstddef>

#include "base/unique_owner.h"

namespace quarry {

struct MappedPages {
  void* base = nullptr;
  std::size_t length = 0;
  bool operator==(const MappedPages&) const = default;
};

struct PagesKind {
  using Value = MappedPages;
  static constexpr MappedPages NONE{};
  static bool isNone(const MappedPages& pages) {
    return pages.base == nullptr || pages.base == MAP_FAILED;
  }
  static void giveBack(const MappedPages& pages) { munmap(pages.base, pages.length); }
};

using UniquePages = UniqueOwner<PagesKind>;

}  // namespace quarry
