#include "support/pe_layout.h"

#include <algorithm>

namespace quarry::testing {

void layOutImage(ByteSpan file, const PeHeaders& headers, MutableBytes image) {
  std::copy_n(file.data(), headers.sizeOfHeaders, image.data());
  for (const PeSection& section : headers.sections) {
    std::copy_n(file.data() + section.rawOffset, section.copied, image.data() + section.rva);
  }
}

}  // namespace quarry::testing
