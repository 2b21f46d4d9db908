// The program's own sentences for what its rooms report in records.
#pragma once

#include <string>

#include "decoder/decoder.h"

namespace quarry {

// The line that follows the fixed "Please copy oo2core_8_win64.dll..." line and says why no
// decoder was bound; empty when there is nothing more to say (no library anywhere).
std::string decoderProblemLine(const DecoderBinding& binding);

}  // namespace quarry
