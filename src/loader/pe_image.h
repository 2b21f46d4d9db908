// Reads a 64-bit Windows library (a PE32+ DLL) over bytes and lays it out over bytes: every
// step that a loader needs short of the operating system. Nothing here maps, protects or runs
// anything, so tests and the fuzzer feed it memory. Every offset, count and size is checked
// against the bytes it points into before it is followed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/guarded_call.h"
#include "loader/image_check.h"

namespace quarry {

using MutableBytes = std::span<std::uint8_t>;

// Why the loader refused a library: what kind of refusal, and the check with its values. Each
// step answers std::optional<LoadFailure>, empty when it found nothing to refuse.
struct LoadFailure {
  explicit LoadFailure(LoadProblem what) : problem(what) {}

  LoadProblem problem;
  LoadRefusal refusal;
  std::vector<ForeignModule> modules;  // ForeignImports, in the order first imported
  GuardedStop stop;                    // InitialisationStopped: why, and where the image lay
  std::uintptr_t imageBase = 0;
  std::uint64_t imageSize = 0;
};

// A refusal of the kind problem by check (none where the kind says it all), with the number or
// the name the check's words need.
LoadFailure refusedBy(LoadProblem problem, ImageCheck check = ImageCheck::None,
                      std::uint64_t number = 0, std::string name = {});

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
  std::uint64_t fileSize = 0;
  std::uint64_t optionalHeader = 0;  // its offset in the file and in the image
  std::uint64_t imageBase = 0;       // the preferred one
  std::uint32_t sizeOfImage = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t entryPoint = 0;  // 0: none
  PeDirectory exports, imports, exceptions, relocations, tls;
  std::vector<PeSection> sections;
};

struct PeImport {
  std::string_view module;    // into the image
  std::string_view name;      // into the image; empty when imported by ordinal
  std::uint16_t ordinal = 0;  // when imported by ordinal
  std::uint32_t slot = 0;     // RVA of the 8 bytes that receive the function's address
};

struct PeTls {
  bool present = false;
  std::uint32_t templateRva = 0;
  std::uint64_t templateSize = 0;
  std::uint32_t zeroFill = 0;            // zero bytes after the template
  std::uint32_t indexRva = 0;            // where the loader writes the module's TLS index (32 bits)
  std::uint32_t alignment = 1;           // of the block, from the directory's Characteristics
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
// image, the machine, the kind of file and the entry point. headerBytes is the start of a file
// of fileSize bytes, at least peHeadersExtent of it where the file holds that much.
std::optional<LoadFailure> readPeHeaders(ByteSpan headerBytes, std::uint64_t fileSize,
                                         PeHeaders& headers);

// How many bytes from the start of the file readPeHeaders needs, as far as prefix tells: the
// headers through the section table and SizeOfHeaders. At most 2^32 + 2^20 or so.
std::uint64_t peHeadersExtent(ByteSpan prefix);

// Bytes the image takes in memory: SizeOfImage rounded up to whole pages.
std::uint64_t mappedImageSize(const PeHeaders& headers);

// The .pdata table: RUNTIME_FUNCTION records (begin, end, unwind RVAs) sorted by begin, as
// far as they lie within the image. Sets first (an RVA) and count.
void readFunctionTable(ByteSpan image, const PeHeaders& headers, std::uint32_t& first,
                       std::uint32_t& count);

// Moves every absolute address from the preferred base to loadedBase, and records the new
// base in the image's own header as Windows does.
std::optional<LoadFailure> relocateImage(MutableBytes image, const PeHeaders& headers,
                                         std::uint64_t loadedBase);

// Every function the image imports, by module and name. Their count is bounded by the address
// table slots the image can hold, so tables shared between descriptors cannot multiply it.
std::optional<LoadFailure> readImports(ByteSpan image, const PeHeaders& headers,
                                       std::vector<PeImport>& imports);

// The TLS directory, once the image sits relocated at loadedBase.
std::optional<LoadFailure> readTls(ByteSpan image, const PeHeaders& headers,
                                   std::uint64_t loadedBase, PeTls& tls);

// The RVA of the code exported under name.
std::optional<LoadFailure> findExport(ByteSpan image, const PeHeaders& headers,
                                      std::string_view name, std::uint32_t& rva);

// Each page range's final protection: the headers read-only, each section as it asks (never
// writable and executable at once), anything else inaccessible. Covers mappedImageSize.
std::vector<PeProtection> protectionPlan(const PeHeaders& headers);

// Writes a 64-bit little-endian value; the caller has checked the 8 bytes exist.
void writeU64(std::uint8_t* at, std::uint64_t value);

}  // namespace quarry
