// Arbitrary bytes as a Windows library: every step of Quarry's loader that reads the image,
// over memory, as the loader takes them: headers and sections, the layout, the relocations,
// the imports, the TLS directory and the export.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "loader/pe_image.h"

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
  if (readPeHeaders(file, headers) || mappedImageSize(headers) > LARGEST_IMAGE) return 0;
  volatile unsigned sink = static_cast<unsigned>(protectionPlan(headers).size());
  std::vector<std::uint8_t> image(mappedImageSize(headers));
  layOutImage(file, headers, image);
  if (relocateImage(image, headers, LOADED_BASE)) return 0;
  std::vector<PeImport> imports;
  if (readImports(image, headers, imports)) return 0;
  for (const PeImport& import : imports) sink = sink + touch(import.module) + touch(import.name);
  PeTls tls;
  if (readTls(image, headers, LOADED_BASE, tls)) return 0;
  for (std::uint64_t k = 0; k < tls.templateSize; ++k) sink = sink + image[tls.templateRva + k];
  std::uint32_t exported = 0;
  if (!findExport(image, headers, "OodleLZ_Decompress", exported)) sink = sink + image[exported];
  return 0;
}
