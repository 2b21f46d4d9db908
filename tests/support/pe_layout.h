// An image laid out from a whole file in memory, for the image reader's tests and its fuzz
// target; the loader itself reads each section from the file straight into the image.
#pragma once

#include "loader/pe_image.h"

namespace quarry::testing {

// Copies the headers and each section's bytes into image, which holds mappedImageSize
// zeroed bytes. headers came from readPeHeaders over the same file, which file holds whole.
void layOutImage(ByteSpan file, const PeHeaders& headers, MutableBytes image);

}  // namespace quarry::testing
