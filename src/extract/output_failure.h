// The output side's failures at a path: the path in UTF-8, as the platform spells it.
#pragma once

#include <string>
#include <string_view>

#include "base/unicode.h"
#include "extract/paths.h"
#include "extract/problems.h"

namespace quarry {

inline std::string textOf(std::string_view path) {
  return std::string(path);
}
inline std::string textOf(std::u16string_view path) {
  return encodeLossless(path);
}

inline OutputFailure failureAt(OutputProblem problem, PathView path, int osError = 0) {
  return OutputFailure(problem, osError, textOf(path));
}

}  // namespace quarry
