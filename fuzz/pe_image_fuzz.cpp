// Arbitrary bytes as a Windows library: every step of Quarry's loader that reads the image,
// over memory, as the loader takes them: headers and sections, the layout, the relocations, the
// import tables (whose count must stay within the image), the TLS directory, the function table
// and the export.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "loader/pe_format.h"
#include "loader/pe_image.h"
#include "support/pe_layout.h"

namespace {

// The loader maps up to 4 GiB; the fuzzer's images are small, and larger claims only cost time.
constexpr std::uint64_t LARGEST_IMAGE = std::uint64_t{16} << 20;
constexpr std::uint64_t LOADED_BASE = 0x7F0000000000;

// Touches every byte a step handed back, so the sanitizers see any read out of bounds.
unsigned touch(std::string_view text) {
  unsigned sum = 0;
  for (const char c : text) sum += static_cast<unsigned char>(c);
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarry;
  const ByteSpan file(data, size);
  PeHeaders headers;
  // Read as the loader reads it: the headers from the start of the file only.
  const std::uint64_t extent = std::min<std::uint64_t>(peHeadersExtent(file), file.size());
  if (readPeHeaders(file.first(extent), file.size(), headers) ||
      mappedImageSize(headers) > LARGEST_IMAGE) {
    return 0;
  }
  volatile unsigned sink = static_cast<unsigned>(protectionPlan(headers).size());
  std::vector<std::uint8_t> image(mappedImageSize(headers));
  testing::layOutImage(file, headers, image);
  // The import tables are read whatever the relocations say: shared tables must not multiply.
  const bool relocated = !relocateImage(image, headers, LOADED_BASE);
  std::vector<PeImport> imports;
  const bool imported = !readImports(image, headers, imports);
  if (imports.size() > image.size() / 8) __builtin_trap();
  for (const PeImport& import : imports) sink = sink + touch(import.module) + touch(import.name);
  std::uint32_t functions = 0, count = 0;
  readFunctionTable(image, headers, functions, count);
  if (count != 0 && std::uint64_t{functions} + count * pe::RUNTIME_FUNCTION_SIZE > image.size())
    __builtin_trap();
  if (!relocated || !imported) return 0;
  PeTls tls;
  if (readTls(image, headers, LOADED_BASE, tls)) return 0;
  for (std::uint64_t k = 0; k < tls.templateSize; ++k) sink = sink + image[tls.templateRva + k];
  std::uint32_t exported = 0;
  if (!findExport(image, headers, "OodleLZ_Decompress", exported)) sink = sink + image[exported];
  return 0;
}
