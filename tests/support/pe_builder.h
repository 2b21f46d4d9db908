// Builds small 64-bit Windows DLL images in memory for the image reader's and the loader's
// tests: headers, code, imports, exports, relocations and optionally TLS, with every structure's
// place recorded so a test can damage it. Sections are file-aligned to whole pages, so an
// offset in the file is also the RVA in the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/container_writer.h"

namespace quarry::testing {

struct PeImageOptions {
  std::string importModule = "KERNEL32.dll";
  std::vector<std::string> imports = {"GetLastError", "SetLastError"};
  std::string exportName = "OodleLZ_Decompress";
  bool dllMainSucceeds = true;
  bool withTls = false;
};

// Where the parts landed; file offsets, which are RVAs too.
struct BuiltPeImage {
  Bytes bytes;
  std::uint64_t preferredBase = 0;
  std::uint64_t ntHeaders = 0;
  std::uint64_t optionalHeader = 0;
  std::uint64_t sectionTable = 0;  // .text, .rdata, .data, .reloc, in this order
  std::uint64_t entryPoint = 0;
  std::uint64_t exportedCode = 0;  // answers its fourth argument: Microsoft's r9
  std::uint64_t tlsCallbackCode = 0;
  std::uint64_t importDescriptor = 0;
  std::uint64_t importLookup = 0;  // the first thunk of the lookup table
  std::uint64_t importAddresses = 0;
  std::uint64_t exportDirectory = 0;
  std::uint64_t exportAddresses = 0;  // AddressOfFunctions
  std::uint64_t tlsDirectory = 0;
  std::uint64_t tlsTemplate = 0;
  std::uint64_t tlsIndex = 0;
  std::uint64_t tlsCallbacks = 0;
  std::uint64_t relocationBlock = 0;
  std::uint64_t absolutePointer = 0;  // 8 bytes in .data holding the address of the code
};

BuiltPeImage buildPeImage(const PeImageOptions& options = {});

// The plain image with a fifth section that holds descriptors import descriptors, all naming
// one shared table of thunks functions: a few megabytes that declare descriptors x thunks
// imports.
Bytes importAmplifiedImage(std::uint32_t descriptors, std::uint32_t thunks);

// The plain image importing count functions from KERNEL32 by ordinals 1 to count, none of
// which Quarry provides: each needs a stand-in of its own.
Bytes ordinalImportsImage(std::uint32_t count);

// Offsets of a section header's fields, for damaging it: index counts from 0 in the table.
std::uint64_t sectionHeaderAt(const BuiltPeImage& image, unsigned index);

}  // namespace quarry::testing
