#include "loader/pe_image.h"

#include <algorithm>
#include <cstring>

#include "loader/pe_format.h"

namespace quarry {
namespace {

using namespace pe;

// Names in an image end with a NUL within this many bytes, or the image is taken as damaged;
// it keeps the work per name bounded.
constexpr std::uint64_t LONGEST_NAME = 4096;

LoadFailure damaged(ImageCheck check, std::string name = {}) {
  return refusedBy(LoadProblem::DamagedImage, check, 0, std::move(name));
}

LoadFailure unsupported(ImageCheck check, std::uint64_t number = 0, std::string name = {}) {
  return refusedBy(LoadProblem::UnsupportedImage, check, number, std::move(name));
}

bool fits(ByteSpan bytes, std::uint64_t offset, std::uint64_t length) {
  return rangeFits(offset, length, bytes.size());
}

// The NUL-terminated name at offset, or false when it does not end inside the bytes.
bool nameAt(ByteSpan bytes, std::uint64_t offset, std::string_view& name) {
  if (offset >= bytes.size()) return false;
  const auto* start = reinterpret_cast<const char*>(bytes.data() + offset);
  const std::uint64_t room = std::min<std::uint64_t>(bytes.size() - offset, LONGEST_NAME);
  const auto* end = static_cast<const char*>(std::memchr(start, 0, room));
  if (end == nullptr) return false;
  name = std::string_view(start, static_cast<std::size_t>(end - start));
  return true;
}

// Whether the NUL-terminated name at offset is name; reads no more than name's bytes and the
// NUL, so a table of many names costs no more than its count.
bool namedAt(ByteSpan bytes, std::uint64_t offset, std::string_view name) {
  if (!fits(bytes, offset, name.size() + 1)) return false;
  return bytes[offset + name.size()] == 0 &&
         std::memcmp(bytes.data() + offset, name.data(), name.size()) == 0;
}

bool isExecutable(const PeHeaders& headers, std::uint64_t rva) {
  return std::any_of(headers.sections.begin(), headers.sections.end(), [&](const PeSection& s) {
    return (s.characteristics & SECTION_EXECUTE) != 0 && rva >= s.rva && rva - s.rva < s.extent;
  });
}

LoadFailure wrongMachine(ImageCheck check, std::uint64_t machine = 0) {
  return refusedBy(LoadProblem::WrongMachine, check, machine);
}

LoadFailure machineFault(std::uint16_t machine) {
  if (machine == MACHINE_I386) return wrongMachine(ImageCheck::Machine32Bit);
  if (machine == MACHINE_ARM64) return wrongMachine(ImageCheck::MachineArm64);
  return wrongMachine(ImageCheck::MachineOther, machine);
}

// Where the NT headers start, checked up to the end of the file header.
std::optional<LoadFailure> findNtHeaders(ByteSpan file, std::uint64_t& ntHeaders) {
  if (file.size() < DOS_HEADER_SIZE) return damaged(ImageCheck::DosHeaderCutShort);
  if (readU16(file.data()) != DOS_MAGIC) return damaged(ImageCheck::DosMagicMissing);
  ntHeaders = readU32(file.data() + DOS_NEW_HEADER);
  if (!fits(file, ntHeaders, SIGNATURE_SIZE + FILE_HEADER_SIZE)) {
    return damaged(ImageCheck::NtHeadersOutsideFile);
  }
  if (readU32(file.data() + ntHeaders) != SIGNATURE) return damaged(ImageCheck::PeSignatureMissing);
  return {};
}

PeDirectory directoryAt(const std::uint8_t* optional, std::uint32_t count, std::uint32_t index) {
  if (index >= count) return {};
  const std::uint8_t* at = optional + OPTIONAL_DIRECTORIES + index * DIRECTORY_SIZE;
  return {readU32(at), readU32(at + 4)};
}

std::optional<LoadFailure> readLayoutFields(const std::uint8_t* optional, PeHeaders& headers) {
  headers.entryPoint = readU32(optional + OPTIONAL_ENTRY_POINT);
  headers.imageBase = readU64(optional + OPTIONAL_IMAGE_BASE);
  headers.sectionAlignment = readU32(optional + OPTIONAL_SECTION_ALIGNMENT);
  headers.sizeOfImage = readU32(optional + OPTIONAL_SIZE_OF_IMAGE);
  headers.sizeOfHeaders = readU32(optional + OPTIONAL_SIZE_OF_HEADERS);
  const std::uint32_t alignment = headers.sectionAlignment;
  if (alignment == 0 || alignment % PAGE_SIZE != 0) {
    return unsupported(ImageCheck::SectionsAlignedBelowAPage, alignment);
  }
  if (headers.sizeOfImage == 0) return damaged(ImageCheck::SizeOfImageZero);
  if (headers.sizeOfHeaders > headers.fileSize || headers.sizeOfHeaders > headers.sizeOfImage) {
    return damaged(ImageCheck::SizeOfHeadersPastFileOrImage);
  }
  return {};
}

// The optional header: PE32+, a DLL, its layout fields and the directories the loader uses.
std::optional<LoadFailure> readOptionalHeader(ByteSpan file, std::uint64_t ntHeaders,
                                              PeHeaders& headers) {
  const std::uint8_t* fileHeader = file.data() + ntHeaders + SIGNATURE_SIZE;
  const std::uint64_t size = readU16(fileHeader + FILE_OPTIONAL_HEADER_SIZE);
  headers.optionalHeader = ntHeaders + SIGNATURE_SIZE + FILE_HEADER_SIZE;
  if (!fits(file, headers.optionalHeader, 2)) {
    return damaged(ImageCheck::OptionalHeaderCutShort);
  }
  const std::uint8_t* optional = file.data() + headers.optionalHeader;
  const std::uint16_t magic = readU16(optional + OPTIONAL_MAGIC);
  if (magic == MAGIC_PE32) return wrongMachine(ImageCheck::Machine32Bit);
  if (magic != MAGIC_PE32_PLUS) return damaged(ImageCheck::OptionalMagicUnknown);
  if ((readU16(fileHeader + FILE_CHARACTERISTICS) & FILE_IS_DLL) == 0) {
    return damaged(ImageCheck::NotADll);
  }
  if (size < OPTIONAL_DIRECTORIES || !fits(file, headers.optionalHeader, size)) {
    return damaged(ImageCheck::OptionalHeaderCutShort);
  }
  const std::uint32_t count =
      std::min(readU32(optional + OPTIONAL_DIRECTORY_COUNT), DIRECTORY_LIMIT);
  if (OPTIONAL_DIRECTORIES + count * DIRECTORY_SIZE > size) {
    return damaged(ImageCheck::DirectoriesOverrunOptionalHeader);
  }
  headers.exports = directoryAt(optional, count, DIRECTORY_EXPORTS);
  headers.imports = directoryAt(optional, count, DIRECTORY_IMPORTS);
  headers.exceptions = directoryAt(optional, count, DIRECTORY_EXCEPTIONS);
  headers.relocations = directoryAt(optional, count, DIRECTORY_RELOCATIONS);
  headers.tls = directoryAt(optional, count, DIRECTORY_TLS);
  return readLayoutFields(optional, headers);
}

PeSection sectionAt(ByteSpan file, std::uint64_t at) {
  const std::uint8_t* header = file.data() + at;
  PeSection section;
  const auto* name = reinterpret_cast<const char*>(header);
  section.name.assign(name, std::find(name, name + SECTION_NAME_SIZE, '\0'));
  const std::uint32_t virtualSize = readU32(header + SECTION_VIRTUAL_SIZE);
  const std::uint32_t rawSize = readU32(header + SECTION_RAW_SIZE);
  section.rva = readU32(header + SECTION_VIRTUAL_ADDRESS);
  section.extent = virtualSize != 0 ? virtualSize : rawSize;
  section.rawOffset = readU32(header + SECTION_RAW_OFFSET);
  section.copied = std::min(rawSize, section.extent);
  section.characteristics = readU32(header + SECTION_CHARACTERISTICS);
  return section;
}

// One section against the file, the image and the sections before it (which end at *end).
// Only the bytes copied must lie in the file: a SizeOfRawData rounded up past the file's end
// is taken, as Windows takes it.
std::optional<LoadFailure> checkSection(const PeSection& section, const PeHeaders& headers,
                                        std::uint64_t& end) {
  if (section.copied > 0 && !rangeFits(section.rawOffset, section.copied, headers.fileSize)) {
    return damaged(ImageCheck::SectionBytesOutsideFile, section.name);
  }
  if (section.rva % headers.sectionAlignment != 0) {
    return damaged(ImageCheck::SectionOffAlignment, section.name);
  }
  if (section.rva < end) return damaged(ImageCheck::SectionOverlaps, section.name);
  if (std::uint64_t{section.rva} + section.extent > headers.sizeOfImage) {
    return damaged(ImageCheck::SectionPastSizeOfImage, section.name);
  }
  const std::uint32_t writableCode = SECTION_WRITE | SECTION_EXECUTE;
  if ((section.characteristics & writableCode) == writableCode) {
    return unsupported(ImageCheck::SectionWritableAndExecutable, 0, section.name);
  }
  end = roundUp(std::uint64_t{section.rva} + section.extent, headers.sectionAlignment);
  return {};
}

std::optional<LoadFailure> readSections(ByteSpan file, std::uint64_t ntHeaders,
                                        PeHeaders& headers) {
  const std::uint8_t* fileHeader = file.data() + ntHeaders + SIGNATURE_SIZE;
  const std::uint64_t count = readU16(fileHeader + FILE_SECTION_COUNT);
  const std::uint64_t table =
      headers.optionalHeader + readU16(fileHeader + FILE_OPTIONAL_HEADER_SIZE);
  if (!fits(file, table, count * SECTION_HEADER_SIZE)) {
    return damaged(ImageCheck::SectionTableOutsideFile);
  }
  std::uint64_t end = roundUp(headers.sizeOfHeaders, headers.sectionAlignment);
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t at = table + k * SECTION_HEADER_SIZE;
    headers.sections.push_back(sectionAt(file, at));
    if (auto failure = checkSection(headers.sections.back(), headers, end)) {
      return failure;
    }
  }
  return {};
}

std::optional<LoadFailure> applyRelocation(MutableBytes image, std::uint64_t page,
                                           std::uint16_t entry, std::uint64_t delta) {
  const unsigned type = entry >> 12;
  if (type == RELOCATION_ABSOLUTE) return {};
  if (type != RELOCATION_DIR64) {
    return unsupported(ImageCheck::RelocationTypeUnsupported, type);
  }
  const std::uint64_t target = page + (entry & 0xFFF);
  if (!fits(image, target, 8)) return damaged(ImageCheck::RelocationOutsideImage);
  std::uint8_t* at = image.data() + target;
  writeU64(at, readU64(at) + delta);
  return {};
}

std::optional<LoadFailure> applyRelocationBlocks(MutableBytes image, PeDirectory directory,
                                                 std::uint64_t delta) {
  std::uint64_t at = directory.rva;
  const std::uint64_t end = at + directory.size;
  while (end - at >= RELOCATION_BLOCK_HEADER) {
    const std::uint64_t page = readU32(image.data() + at);
    const std::uint64_t blockSize = readU32(image.data() + at + 4);
    if (blockSize == 0) break;  // Windows ends the table at an empty block
    if (blockSize < RELOCATION_BLOCK_HEADER || blockSize > end - at ||
        blockSize % RELOCATION_ENTRY_SIZE != 0) {
      return damaged(ImageCheck::RelocationBlockDamaged);
    }
    for (std::uint64_t k = RELOCATION_BLOCK_HEADER; k < blockSize; k += RELOCATION_ENTRY_SIZE) {
      const std::uint16_t entry = readU16(image.data() + at + k);
      if (auto failure = applyRelocation(image, page, entry, delta)) return failure;
    }
    at += blockSize;
  }
  return {};
}

// The functions of one import descriptor: its lookup table names them, its address table
// receives them. Each needs a slot of its own, so no image holds more than its size in slots.
std::optional<LoadFailure> readThunks(ByteSpan image, std::string_view module, std::uint64_t lookup,
                                      std::uint64_t addresses, std::vector<PeImport>& imports) {
  for (std::uint64_t k = 0;; ++k) {
    if (imports.size() >= image.size() / THUNK_SIZE) {
      return damaged(ImageCheck::ImportsExceedImage);
    }
    if (!fits(image, lookup + k * THUNK_SIZE, THUNK_SIZE)) {
      return damaged(ImageCheck::ImportLookupOutsideImage);
    }
    const std::uint64_t thunk = readU64(image.data() + lookup + k * THUNK_SIZE);
    if (thunk == 0) return {};
    const std::uint64_t slot = addresses + k * THUNK_SIZE;
    if (!fits(image, slot, THUNK_SIZE)) return damaged(ImageCheck::ImportAddressesOutsideImage);
    if ((thunk & THUNK_BY_ORDINAL) != 0) {
      imports.push_back({module,
                         {},
                         static_cast<std::uint16_t>(thunk & 0xFFFF),
                         static_cast<std::uint32_t>(slot)});
      continue;
    }
    if ((thunk & ~THUNK_NAME_RVA_MASK) != 0) return damaged(ImageCheck::ImportThunkDamaged);
    std::string_view name;
    if (!nameAt(image, thunk + IMPORT_HINT_SIZE, name)) {
      return damaged(ImageCheck::ImportedNameOutsideImage);
    }
    imports.push_back({module, name, 0, static_cast<std::uint32_t>(slot)});
  }
}

// The RVA of a virtual address in the image at loadedBase, with length bytes after it.
bool rvaOf(ByteSpan image, std::uint64_t address, std::uint64_t loadedBase, std::uint64_t length,
           std::uint32_t& rva) {
  if (address < loadedBase || !fits(image, address - loadedBase, length)) return false;
  rva = static_cast<std::uint32_t>(address - loadedBase);
  return true;
}

std::optional<LoadFailure> readTlsCallbacks(ByteSpan image, const PeHeaders& headers,
                                            std::uint64_t loadedBase, std::uint64_t list,
                                            PeTls& tls) {
  std::uint32_t at = 0;
  if (list == 0) return {};
  for (std::uint64_t k = 0;; ++k) {
    if (!rvaOf(image, list + k * THUNK_SIZE, loadedBase, THUNK_SIZE, at)) {
      return damaged(ImageCheck::TlsCallbackListOutsideImage);
    }
    const std::uint64_t callback = readU64(image.data() + at);
    if (callback == 0) return {};
    std::uint32_t rva = 0;
    if (!rvaOf(image, callback, loadedBase, 1, rva) || !isExecutable(headers, rva)) {
      return damaged(ImageCheck::TlsCallbackOutsideCode);
    }
    tls.callbacks.push_back(rva);
  }
}

// The forwarded or executable code that an export's address points at.
std::optional<LoadFailure> exportedCode(const PeHeaders& headers, ByteSpan image,
                                        std::string_view name, std::uint32_t code,
                                        std::uint32_t& rva) {
  const PeDirectory directory = headers.exports;
  if (code >= directory.rva && code - directory.rva < directory.size) {
    std::string_view target;
    nameAt(image, code, target);
    LoadFailure forwarded = unsupported(ImageCheck::ExportForwarded, 0, std::string(name));
    forwarded.refusal.target = target;
    return forwarded;
  }
  if (!isExecutable(headers, code))
    return damaged(ImageCheck::ExportOutsideCode, std::string(name));
  rva = code;
  return {};
}

PeProtection inaccessible(std::uint64_t offset, std::uint64_t size) {
  return {offset, size, false, false, false};
}

}  // namespace

LoadFailure refusedBy(LoadProblem problem, ImageCheck check, std::uint64_t number,
                      std::string name) {
  LoadFailure failure(problem);
  failure.refusal.check = check;
  failure.refusal.number = number;
  failure.refusal.name = std::move(name);
  return failure;
}

void writeU64(std::uint8_t* at, std::uint64_t value) {
  for (int k = 0; k < 8; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

std::uint64_t peHeadersExtent(ByteSpan prefix) {
  std::uint64_t ntHeaders = 0;
  if (findNtHeaders(prefix, ntHeaders)) return prefix.size();
  const std::uint8_t* fileHeader = prefix.data() + ntHeaders + SIGNATURE_SIZE;
  const std::uint64_t optional = ntHeaders + SIGNATURE_SIZE + FILE_HEADER_SIZE;
  const std::uint64_t tableEnd = optional + readU16(fileHeader + FILE_OPTIONAL_HEADER_SIZE) +
                                 readU16(fileHeader + FILE_SECTION_COUNT) * SECTION_HEADER_SIZE;
  std::uint64_t sizeOfHeaders = 0;
  if (fits(prefix, optional, OPTIONAL_SIZE_OF_HEADERS + 4)) {
    sizeOfHeaders = readU32(prefix.data() + optional + OPTIONAL_SIZE_OF_HEADERS);
  }
  return std::max(tableEnd, sizeOfHeaders);
}

std::optional<LoadFailure> readPeHeaders(ByteSpan file, std::uint64_t fileSize,
                                         PeHeaders& headers) {
  headers = PeHeaders{};
  headers.fileSize = fileSize;
  std::uint64_t ntHeaders = 0;
  if (auto failure = findNtHeaders(file, ntHeaders)) return failure;
  const std::uint16_t machine = readU16(file.data() + ntHeaders + SIGNATURE_SIZE + FILE_MACHINE);
  if (machine != MACHINE_AMD64) return machineFault(machine);
  if (auto failure = readOptionalHeader(file, ntHeaders, headers)) return failure;
  if (auto failure = readSections(file, ntHeaders, headers)) return failure;
  if (headers.entryPoint != 0 && !isExecutable(headers, headers.entryPoint)) {
    return damaged(ImageCheck::EntryPointOutsideCode);
  }
  return {};
}

std::uint64_t mappedImageSize(const PeHeaders& headers) {
  return roundUp(headers.sizeOfImage, PAGE_SIZE);
}

void readFunctionTable(ByteSpan image, const PeHeaders& headers, std::uint32_t& first,
                       std::uint32_t& count) {
  const PeDirectory table = headers.exceptions;
  const bool inside = table.rva != 0 && fits(image, table.rva, table.size);
  first = inside ? table.rva : 0;
  count = inside ? static_cast<std::uint32_t>(table.size / RUNTIME_FUNCTION_SIZE) : 0;
}

std::optional<LoadFailure> relocateImage(MutableBytes image, const PeHeaders& headers,
                                         std::uint64_t loadedBase) {
  const std::uint64_t delta = loadedBase - headers.imageBase;
  const PeDirectory directory = headers.relocations;
  if (directory.rva == 0 || directory.size == 0) {
    if (delta == 0) return {};
    return unsupported(ImageCheck::NoRelocationsForMove);
  }
  if (!fits(image, directory.rva, directory.size)) {
    return damaged(ImageCheck::RelocationDirectoryOutsideImage);
  }
  if (auto failure = applyRelocationBlocks(image, directory, delta)) return failure;
  const std::uint64_t baseField = headers.optionalHeader + OPTIONAL_IMAGE_BASE;
  if (baseField + 8 <= headers.sizeOfHeaders) writeU64(image.data() + baseField, loadedBase);
  return {};
}

std::optional<LoadFailure> readImports(ByteSpan image, const PeHeaders& headers,
                                       std::vector<PeImport>& imports) {
  imports.clear();
  if (headers.imports.rva == 0 || headers.imports.size == 0) return {};
  for (std::uint64_t at = headers.imports.rva;; at += IMPORT_DESCRIPTOR_SIZE) {
    if (!fits(image, at, IMPORT_DESCRIPTOR_SIZE)) {
      return damaged(ImageCheck::ImportDescriptorOutsideImage);
    }
    const std::uint8_t* descriptor = image.data() + at;
    const std::uint32_t moduleName = readU32(descriptor + IMPORT_MODULE_NAME);
    const std::uint32_t addresses = readU32(descriptor + IMPORT_ADDRESS_TABLE);
    if (moduleName == 0 && addresses == 0) return {};
    std::string_view module;
    if (!nameAt(image, moduleName, module)) {
      return damaged(ImageCheck::ImportModuleNameOutsideImage);
    }
    const std::uint32_t lookup = readU32(descriptor + IMPORT_LOOKUP_TABLE);
    if (auto failure =
            readThunks(image, module, lookup != 0 ? lookup : addresses, addresses, imports)) {
      return failure;
    }
  }
}

std::optional<LoadFailure> readTls(ByteSpan image, const PeHeaders& headers,
                                   std::uint64_t loadedBase, PeTls& tls) {
  tls = PeTls{};
  if (headers.tls.rva == 0 || headers.tls.size == 0) return {};
  if (!fits(image, headers.tls.rva, TLS_DIRECTORY_SIZE)) {
    return damaged(ImageCheck::TlsDirectoryOutsideImage);
  }
  const std::uint8_t* directory = image.data() + headers.tls.rva;
  const std::uint64_t start = readU64(directory + TLS_TEMPLATE_START);
  const std::uint64_t end = readU64(directory + TLS_TEMPLATE_END);
  tls.present = true;
  tls.templateSize = end - start;
  if (end < start ||
      (end > start && !rvaOf(image, start, loadedBase, end - start, tls.templateRva))) {
    return damaged(ImageCheck::TlsTemplateOutsideImage);
  }
  if (!rvaOf(image, readU64(directory + TLS_INDEX_ADDRESS), loadedBase, 4, tls.indexRva)) {
    return damaged(ImageCheck::TlsIndexOutsideImage);
  }
  tls.zeroFill = readU32(directory + TLS_ZERO_FILL);
  const std::uint32_t alignmentCode =
      readU32(directory + TLS_CHARACTERISTICS) >> TLS_ALIGNMENT_SHIFT & 0xF;
  if (alignmentCode > 14) return damaged(ImageCheck::TlsAlignmentUnknown);
  tls.alignment = alignmentCode == 0 ? 1 : std::uint32_t{1} << (alignmentCode - 1);
  return readTlsCallbacks(image, headers, loadedBase, readU64(directory + TLS_CALLBACKS), tls);
}

std::optional<LoadFailure> findExport(ByteSpan image, const PeHeaders& headers,
                                      std::string_view name, std::uint32_t& rva) {
  const PeDirectory directory = headers.exports;
  if (directory.rva == 0 || directory.size == 0) return refusedBy(LoadProblem::NoEntryPoint);
  if (!fits(image, directory.rva, EXPORT_DIRECTORY_SIZE)) {
    return damaged(ImageCheck::ExportDirectoryOutsideImage);
  }
  const std::uint8_t* at = image.data() + directory.rva;
  const std::uint64_t functionCount = readU32(at + EXPORT_FUNCTION_COUNT);
  const std::uint64_t nameCount = readU32(at + EXPORT_NAME_COUNT);
  const std::uint64_t functions = readU32(at + EXPORT_FUNCTIONS);
  const std::uint64_t names = readU32(at + EXPORT_NAMES);
  const std::uint64_t ordinals = readU32(at + EXPORT_NAME_ORDINALS);
  if (!fits(image, functions, functionCount * 4) || !fits(image, names, nameCount * 4) ||
      !fits(image, ordinals, nameCount * 2)) {
    return damaged(ImageCheck::ExportTablesOutsideImage);
  }
  for (std::uint64_t k = 0; k < nameCount; ++k) {
    if (!namedAt(image, readU32(image.data() + names + k * 4), name)) continue;
    const std::uint64_t ordinal = readU16(image.data() + ordinals + k * 2);
    if (ordinal >= functionCount) return damaged(ImageCheck::ExportOrdinalOutOfRange);
    return exportedCode(headers, image, name, readU32(image.data() + functions + ordinal * 4), rva);
  }
  return refusedBy(LoadProblem::NoEntryPoint);
}

std::vector<PeProtection> protectionPlan(const PeHeaders& headers) {
  const std::uint64_t mapped = mappedImageSize(headers);
  std::vector<PeProtection> plan;
  std::uint64_t cursor = std::min(roundUp(headers.sizeOfHeaders, PAGE_SIZE), mapped);
  plan.push_back({0, cursor, true, false, false});
  for (const PeSection& section : headers.sections) {
    if (section.extent == 0) continue;
    if (section.rva > cursor) plan.push_back(inaccessible(cursor, section.rva - cursor));
    const std::uint64_t end = std::min(
        roundUp(std::uint64_t{section.rva} + section.extent, headers.sectionAlignment), mapped);
    const std::uint32_t flags = section.characteristics;
    const bool executable = (flags & SECTION_EXECUTE) != 0;
    plan.push_back({section.rva, end - section.rva, (flags & SECTION_READ) != 0 || executable,
                    (flags & SECTION_WRITE) != 0, executable});
    cursor = end;
  }
  if (mapped > cursor) plan.push_back(inaccessible(cursor, mapped - cursor));
  return plan;
}

}  // namespace quarry
