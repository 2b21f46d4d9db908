#include "support/pe_builder.h"

#include <cstring>

#include "loader/pe_format.h"

namespace quarry::testing {
namespace {

using namespace pe;

constexpr std::uint64_t PREFERRED_BASE = 0x180000000;
constexpr std::uint64_t NT_HEADERS = 0x80;
constexpr std::uint32_t OPTIONAL_HEADER_SIZE = OPTIONAL_DIRECTORIES + 16 * DIRECTORY_SIZE;
constexpr std::uint32_t PAGE = PAGE_SIZE;
constexpr std::uint32_t TEXT = 0x1000, RDATA = 0x2000, DATA = 0x3000, RELOC = 0x4000;
constexpr std::uint32_t IMAGE_SIZE = 0x5000;

// Where each structure goes inside its section.
constexpr std::uint32_t ENTRY_CODE = TEXT, EXPORTED_CODE = TEXT + 0x10, CALLBACK_CODE = TEXT + 0x20;
constexpr std::uint32_t DESCRIPTORS = RDATA, LOOKUP = RDATA + 0x40, MODULE_NAME = RDATA + 0x100;
constexpr std::uint32_t HINT_NAMES = RDATA + 0x120;
constexpr std::uint32_t EXPORTS = RDATA + 0x400, EXPORTS_SIZE = 0x100;
constexpr std::uint32_t TLS_DIRECTORY = RDATA + 0x600;
constexpr std::uint32_t ADDRESSES = DATA, ABSOLUTE_POINTER = DATA + 0xF0;
constexpr std::uint32_t TLS_TEMPLATE = DATA + 0x100, TLS_INDEX = DATA + 0x110;
constexpr std::uint32_t CALLBACK_LIST = DATA + 0x120;

void putU16(Bytes& bytes, std::uint64_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void putBytes(Bytes& bytes, std::uint64_t at, const Bytes& values) {
  std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

void putText(Bytes& bytes, std::uint64_t at, const std::string& text) {
  std::memcpy(bytes.data() + at, text.c_str(), text.size() + 1);
}

void putDirectory(Bytes& bytes, std::uint32_t index, std::uint32_t rva, std::uint32_t size) {
  const std::uint64_t at = NT_HEADERS + SIGNATURE_SIZE + FILE_HEADER_SIZE + OPTIONAL_DIRECTORIES +
                           index * DIRECTORY_SIZE;
  putU32(bytes, at, rva);
  putU32(bytes, at + 4, size);
}

void putHeaders(Bytes& bytes, const PeImageOptions& options) {
  putU16(bytes, 0, DOS_MAGIC);
  putU32(bytes, DOS_NEW_HEADER, NT_HEADERS);
  putU32(bytes, NT_HEADERS, SIGNATURE);
  const std::uint64_t file = NT_HEADERS + SIGNATURE_SIZE;
  putU16(bytes, file + FILE_MACHINE, MACHINE_AMD64);
  putU16(bytes, file + FILE_SECTION_COUNT, 4);
  putU16(bytes, file + FILE_OPTIONAL_HEADER_SIZE, OPTIONAL_HEADER_SIZE);
  putU16(bytes, file + FILE_CHARACTERISTICS, FILE_IS_DLL | 0x22);  // executable, large addresses
  const std::uint64_t optional = file + FILE_HEADER_SIZE;
  putU16(bytes, optional + OPTIONAL_MAGIC, MAGIC_PE32_PLUS);
  putU32(bytes, optional + OPTIONAL_ENTRY_POINT, ENTRY_CODE);
  putU64(bytes, optional + OPTIONAL_IMAGE_BASE, PREFERRED_BASE);
  putU32(bytes, optional + OPTIONAL_SECTION_ALIGNMENT, PAGE);
  putU32(bytes, optional + OPTIONAL_SECTION_ALIGNMENT + 4, PAGE);  // file alignment
  putU32(bytes, optional + OPTIONAL_SIZE_OF_IMAGE, IMAGE_SIZE);
  putU32(bytes, optional + OPTIONAL_SIZE_OF_HEADERS, PAGE);
  putU32(bytes, optional + OPTIONAL_DIRECTORY_COUNT, 16);
  putDirectory(bytes, DIRECTORY_IMPORTS, DESCRIPTORS, 2 * IMPORT_DESCRIPTOR_SIZE);
  putDirectory(bytes, DIRECTORY_EXPORTS, EXPORTS, EXPORTS_SIZE);
  if (options.withTls) putDirectory(bytes, DIRECTORY_TLS, TLS_DIRECTORY, TLS_DIRECTORY_SIZE);
}

void putSection(Bytes& bytes, unsigned index, const char* name, std::uint32_t rva,
                std::uint32_t characteristics) {
  const std::uint64_t at = NT_HEADERS + SIGNATURE_SIZE + FILE_HEADER_SIZE + OPTIONAL_HEADER_SIZE +
                           index * SECTION_HEADER_SIZE;
  std::memcpy(bytes.data() + at, name, std::strlen(name));
  putU32(bytes, at + SECTION_VIRTUAL_SIZE, PAGE);
  putU32(bytes, at + SECTION_VIRTUAL_ADDRESS, rva);
  putU32(bytes, at + SECTION_RAW_SIZE, PAGE);
  putU32(bytes, at + SECTION_RAW_OFFSET, rva);
  putU32(bytes, at + SECTION_CHARACTERISTICS, characteristics);
}

void putCode(Bytes& bytes, bool dllMainSucceeds) {
  const Bytes answerTrue = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3};  // mov eax, 1; ret
  const Bytes answerFalse = {0x31, 0xC0, 0xC3};                   // xor eax, eax; ret
  putBytes(bytes, ENTRY_CODE, dllMainSucceeds ? answerTrue : answerFalse);
  putBytes(bytes, EXPORTED_CODE, {0x4C, 0x89, 0xC8, 0xC3});  // mov rax, r9; ret
  putBytes(bytes, CALLBACK_CODE, {0xC3});                    // ret
}

void putImports(Bytes& bytes, const PeImageOptions& options) {
  putU32(bytes, DESCRIPTORS + IMPORT_LOOKUP_TABLE, LOOKUP);
  putU32(bytes, DESCRIPTORS + IMPORT_MODULE_NAME, MODULE_NAME);
  putU32(bytes, DESCRIPTORS + IMPORT_ADDRESS_TABLE, ADDRESSES);
  putText(bytes, MODULE_NAME, options.importModule);
  std::uint64_t name = HINT_NAMES;
  for (std::size_t k = 0; k < options.imports.size(); ++k) {
    putU64(bytes, LOOKUP + k * THUNK_SIZE, name);
    putU64(bytes, ADDRESSES + k * THUNK_SIZE, name);
    putText(bytes, name + IMPORT_HINT_SIZE, options.imports[k]);
    name += (IMPORT_HINT_SIZE + options.imports[k].size() + 2) & ~std::uint64_t{1};
  }
}

void putExports(Bytes& bytes, const PeImageOptions& options) {
  const std::uint32_t functions = EXPORTS + 0x40, names = EXPORTS + 0x50;
  const std::uint32_t ordinals = EXPORTS + 0x60, moduleName = EXPORTS + 0x80;
  const std::uint32_t exportName = EXPORTS + 0xA0;
  putU32(bytes, EXPORTS + 12, moduleName);
  putU32(bytes, EXPORTS + 16, 1);  // ordinal base
  putU32(bytes, EXPORTS + EXPORT_FUNCTION_COUNT, 1);
  putU32(bytes, EXPORTS + EXPORT_NAME_COUNT, 1);
  putU32(bytes, EXPORTS + EXPORT_FUNCTIONS, functions);
  putU32(bytes, EXPORTS + EXPORT_NAMES, names);
  putU32(bytes, EXPORTS + EXPORT_NAME_ORDINALS, ordinals);
  putU32(bytes, functions, EXPORTED_CODE);
  putU32(bytes, names, exportName);
  putU16(bytes, ordinals, 0);
  putText(bytes, moduleName, "built.dll");
  putText(bytes, exportName, options.exportName);
}

void putTls(Bytes& bytes) {
  putU64(bytes, TLS_DIRECTORY + TLS_TEMPLATE_START, PREFERRED_BASE + TLS_TEMPLATE);
  putU64(bytes, TLS_DIRECTORY + TLS_TEMPLATE_END, PREFERRED_BASE + TLS_TEMPLATE + 8);
  putU64(bytes, TLS_DIRECTORY + TLS_INDEX_ADDRESS, PREFERRED_BASE + TLS_INDEX);
  putU64(bytes, TLS_DIRECTORY + TLS_CALLBACKS, PREFERRED_BASE + CALLBACK_LIST);
  putU32(bytes, TLS_DIRECTORY + TLS_ZERO_FILL, 8);
  putText(bytes, TLS_TEMPLATE, "template");
  putU64(bytes, CALLBACK_LIST, PREFERRED_BASE + CALLBACK_CODE);
}

// One block per page that holds absolute addresses; returns the relocation directory's size.
std::uint32_t putRelocations(Bytes& bytes, bool withTls) {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> pages = {
      {DATA, {ABSOLUTE_POINTER}}};
  if (withTls) {
    pages[0].second.push_back(CALLBACK_LIST);
    pages.push_back({RDATA,
                     {TLS_DIRECTORY + TLS_TEMPLATE_START, TLS_DIRECTORY + TLS_TEMPLATE_END,
                      TLS_DIRECTORY + TLS_INDEX_ADDRESS, TLS_DIRECTORY + TLS_CALLBACKS}});
  }
  std::uint32_t at = RELOC;
  for (const auto& [page, targets] : pages) {
    const std::uint32_t entries = static_cast<std::uint32_t>(targets.size() + targets.size() % 2);
    putU32(bytes, at, page);
    putU32(bytes, at + 4, 8 + 2 * entries);
    for (std::size_t k = 0; k < targets.size(); ++k) {
      putU16(bytes, at + 8 + 2 * k,
             static_cast<std::uint16_t>(RELOCATION_DIR64 << 12 | (targets[k] - page)));
    }
    at += 8 + 2 * entries;  // an odd count ends with an ABSOLUTE entry: zero
  }
  return at - RELOC;
}

}  // namespace

BuiltPeImage buildPeImage(const PeImageOptions& options) {
  BuiltPeImage image;
  image.bytes.assign(IMAGE_SIZE, 0);
  Bytes& bytes = image.bytes;
  putHeaders(bytes, options);
  putSection(bytes, 0, ".text", TEXT, SECTION_EXECUTE | SECTION_READ | 0x20);
  putSection(bytes, 1, ".rdata", RDATA, SECTION_READ | 0x40);
  putSection(bytes, 2, ".data", DATA, SECTION_READ | SECTION_WRITE | 0x40);
  putSection(bytes, 3, ".reloc", RELOC, SECTION_READ | 0x02000040);
  putCode(bytes, options.dllMainSucceeds);
  putImports(bytes, options);
  putExports(bytes, options);
  if (options.withTls) putTls(bytes);
  putU64(bytes, ABSOLUTE_POINTER, PREFERRED_BASE + EXPORTED_CODE);
  putDirectory(bytes, DIRECTORY_RELOCATIONS, RELOC, putRelocations(bytes, options.withTls));
  image.preferredBase = PREFERRED_BASE;
  image.ntHeaders = NT_HEADERS;
  image.optionalHeader = NT_HEADERS + SIGNATURE_SIZE + FILE_HEADER_SIZE;
  image.sectionTable = image.optionalHeader + OPTIONAL_HEADER_SIZE;
  image.entryPoint = ENTRY_CODE;
  image.exportedCode = EXPORTED_CODE;
  image.tlsCallbackCode = CALLBACK_CODE;
  image.importDescriptor = DESCRIPTORS;
  image.importLookup = LOOKUP;
  image.importAddresses = ADDRESSES;
  image.exportDirectory = EXPORTS;
  image.exportAddresses = EXPORTS + 0x40;
  image.tlsDirectory = TLS_DIRECTORY;
  image.tlsTemplate = TLS_TEMPLATE;
  image.tlsIndex = TLS_INDEX;
  image.tlsCallbacks = CALLBACK_LIST;
  image.relocationBlock = RELOC;
  image.absolutePointer = ABSOLUTE_POINTER;
  return image;
}

Bytes importAmplifiedImage(std::uint32_t descriptors, std::uint32_t thunks) {
  BuiltPeImage image = buildPeImage();
  Bytes& bytes = image.bytes;
  const std::uint64_t table = IMAGE_SIZE + (descriptors + 1) * IMPORT_DESCRIPTOR_SIZE;
  const std::uint64_t end = table + (thunks + 1) * THUNK_SIZE;
  const auto extent = static_cast<std::uint32_t>((end - IMAGE_SIZE + PAGE - 1) / PAGE * PAGE);
  bytes.resize(IMAGE_SIZE + extent, 0);
  for (std::uint64_t k = 0; k < descriptors; ++k) {
    const std::uint64_t at = IMAGE_SIZE + k * IMPORT_DESCRIPTOR_SIZE;
    putU32(bytes, at + IMPORT_MODULE_NAME, MODULE_NAME);
    putU32(bytes, at + IMPORT_ADDRESS_TABLE, static_cast<std::uint32_t>(table));
  }
  for (std::uint64_t k = 0; k < thunks; ++k) putU64(bytes, table + k * THUNK_SIZE, HINT_NAMES);
  putSection(bytes, 4, ".idata", IMAGE_SIZE, SECTION_READ | SECTION_WRITE | 0x40);
  const std::uint64_t section = sectionHeaderAt(image, 4);
  putU32(bytes, section + SECTION_VIRTUAL_SIZE, extent);
  putU32(bytes, section + SECTION_RAW_SIZE, extent);
  putU16(bytes, NT_HEADERS + SIGNATURE_SIZE + FILE_SECTION_COUNT, 5);
  putU32(bytes, image.optionalHeader + OPTIONAL_SIZE_OF_IMAGE, IMAGE_SIZE + extent);
  putDirectory(bytes, DIRECTORY_IMPORTS, IMAGE_SIZE, descriptors * IMPORT_DESCRIPTOR_SIZE);
  return bytes;
}

Bytes ordinalImportsImage(std::uint32_t count) {
  Bytes bytes = importAmplifiedImage(1, count);
  const std::uint64_t table = IMAGE_SIZE + 2 * IMPORT_DESCRIPTOR_SIZE;
  for (std::uint64_t k = 0; k < count; ++k) {
    putU64(bytes, table + k * THUNK_SIZE, THUNK_BY_ORDINAL | (k + 1));
  }
  return bytes;
}

std::uint64_t sectionHeaderAt(const BuiltPeImage& image, unsigned index) {
  return image.sectionTable + index * SECTION_HEADER_SIZE;
}

}  // namespace quarry::testing
