// The names of the files that content is written into before it takes an entry's name, where
// a file cannot be made without a name: hidden, the process's own, numbered.
#pragma once

#include <cstdint>
#include <optional>

#include "extract/paths.h"

namespace quarry {

// Names tried, one after another, before making a temporary is given up.
constexpr int TEMPORARY_ATTEMPTS = 8;

// ".quarry-<process>-<number>.part"
PathString temporaryName(std::uint64_t process, std::uint64_t number);

// The process whose temporary the name is, or nothing for a name of any other kind.
std::optional<std::uint64_t> temporaryOwner(PathView name);

}  // namespace quarry
