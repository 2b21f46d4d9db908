// Reads a 64-bit Windows library (a PE32+ DLL) over bytes and lays it out over bytes: every
// step that a loader needs short of the operating system. Nothing here maps, protects or runs
// anything, so tests and the fuzzer feed it memory. Every offset, count and size is checked
// against the bytes it points into before it is followed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "decoder/decoder.h"

namespace quarry {

using MutableBytes = std::span<std::uint8_t>;

// Why an image is refused: one of the image kinds of DecoderProblem, and what the check saw.
struct PeFault {
  DecoderProblem problem = DecoderProblem::none;
  std::string detail;
  explicit operator bool() const { return problem != DecoderProblem::none; }
};

struct PeDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct PeSection {
  std::string name;  // up to 8 bytes as the table holds them
  std::uint32_t rva = 0;
  std::uint32_t extent = 0;     // bytes it spans in the image
  std::uint32_t rawOffset = 0;  // where its bytes lie in the file
  std::uint32_t copied = 0;     // how many of them are copied; the rest of extent is zero
  std::uint32_t characteristics = 0;
};

struct PeHeaders {
  std::uint64_t optionalHeader = 0;  // its offset in the file and in the image
  std::uint64_t imageBase = 0;       // the preferred one
  std::uint32_t sizeOfImage = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t entryPoint = 0;  // 0: none
  PeDirectory exports, imports, relocations, tls;
  std::vector<PeSection> sections;
};

struct PeImport {
  std::string_view module;  // into the image
  std::string_view name;    // into the image; "#<ordinal>" names are refused, never listed
  std::uint32_t slot = 0;   // RVA of the 8 bytes that receive the function's address
};

struct PeTls {
  bool present = false;
  std::uint32_t templateRva = 0;
  std::uint64_t templateSize = 0;
  std::uint32_t zeroFill = 0;            // zero bytes after the template
  std::uint32_t indexRva = 0;            // where the loader writes the module's TLS index (32 bits)
  std::vector<std::uint32_t> callbacks;  // RVAs, in order
};

struct PeProtection {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool readable = false;
  bool writable = false;
  bool executable = false;
};

// The headers and the section table, with every section checked against the file and the
// image, the machine, the kind of file and the entry point.
PeFault readPeHeaders(ByteSpan file, PeHeaders& headers);

// Bytes the image takes in memory: SizeOfImage rounded up to whole pages.
std::uint64_t mappedImageSize(const PeHeaders& headers);

// Copies the headers and each section's bytes into image, which holds mappedImageSize
// zeroed bytes. headers came from readPeHeaders over the same file.
void layOutImage(ByteSpan file, const PeHeaders& headers, MutableBytes image);

// Moves every absolute address from the preferred base to loadedBase, and records the new
// base in the image's own header as Windows does.
PeFault relocateImage(MutableBytes image, const PeHeaders& headers, std::uint64_t loadedBase);

// Every function the image imports, by module and name.
PeFault readImports(ByteSpan image, const PeHeaders& headers, std::vector<PeImport>& imports);

// The TLS directory, once the image sits relocated at loadedBase.
PeFault readTls(ByteSpan image, const PeHeaders& headers, std::uint64_t loadedBase, PeTls& tls);

// The RVA of the code exported under name.
PeFault findExport(ByteSpan image, const PeHeaders& headers, std::string_view name,
                   std::uint32_t& rva);

// Each page range's final protection: the headers read-only, each section as it asks (never
// writable and executable at once), anything else inaccessible. Covers mappedImageSize.
std::vector<PeProtection> protectionPlan(const PeHeaders& headers);

// Writes a 64-bit little-endian value; the caller has checked the 8 bytes exist.
void writeU64(std::uint8_t* at, std::uint64_t value);

}  // namespace quarry
