// Why one entry was not extracted: what its records, its name, its place on disk or its
// bytes said, each in the words of the part of Quarry that found it.
#pragma once

#include <variant>

#include "container/problems.h"
#include "extract/problems.h"

namespace quarry {

using EntryFailure = std::variant<RecordProblem, NameFailure, OutputFailure, DecodeFailure>;

}  // namespace quarry
