#include "loader/pe_image.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/messages.h"
#include "container/layout.h"
#include "decoder/decoder.h"
#include "loader/pe_format.h"
#include "support/pe_builder.h"
#include "support/pe_layout.h"

namespace quarry {
namespace {

using testing::BuiltPeImage;
using testing::Bytes;
using testing::PeImageOptions;
using testing::putU32;
using testing::putU64;

using P = LoadProblem;
using C = ImageCheck;

// Far from the preferred base, so every absolute address must move.
constexpr std::uint64_t LOADED_BASE = 0x7F1234560000;

void putU16(Bytes& bytes, std::uint64_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Everything a loader reads of an image, in its order, over memory: the first refusal.
struct ReadImage {
  PeHeaders headers;
  Bytes image;
  std::vector<PeImport> imports;
  PeTls tls;
  std::uint32_t exported = 0;
  std::optional<LoadFailure> fault;
};

ReadImage readWholeImage(const Bytes& file) {
  ReadImage read;
  read.fault = readPeHeaders(file, file.size(), read.headers);
  if (read.fault) return read;
  read.image.assign(mappedImageSize(read.headers), 0);
  testing::layOutImage(file, read.headers, read.image);
  read.fault = relocateImage(read.image, read.headers, LOADED_BASE);
  if (!read.fault) read.fault = readImports(read.image, read.headers, read.imports);
  if (!read.fault) read.fault = readTls(read.image, read.headers, LOADED_BASE, read.tls);
  if (!read.fault) {
    read.fault = findExport(read.image, read.headers, DECODER_ENTRY_POINT, read.exported);
  }
  return read;
}

TEST(PeImage, ASoundImageIsLaidOutRelocatedAndRead) {
  const BuiltPeImage built = testing::buildPeImage({.withTls = true});
  const ReadImage read = readWholeImage(built.bytes);
  ASSERT_FALSE(read.fault) << imageCheckText(read.fault->refusal);
  EXPECT_EQ(read.headers.imageBase, built.preferredBase);
  EXPECT_EQ(read.headers.entryPoint, built.entryPoint);
  ASSERT_EQ(read.headers.sections.size(), 4u);
  EXPECT_EQ(read.headers.sections[2].name, ".data");
  EXPECT_EQ(readU64(read.image.data() + built.absolutePointer), LOADED_BASE + built.exportedCode);
  EXPECT_EQ(readU64(read.image.data() + built.optionalHeader + pe::OPTIONAL_IMAGE_BASE),
            LOADED_BASE)
      << "the image's own header names where it now lies";
  ASSERT_EQ(read.imports.size(), 2u);
  EXPECT_EQ(read.imports[1].module, "KERNEL32.dll");
  EXPECT_EQ(read.imports[1].name, "SetLastError");
  EXPECT_EQ(read.imports[1].slot, built.importAddresses + 8);
  EXPECT_EQ(read.exported, built.exportedCode);
  EXPECT_EQ(read.tls.templateRva, built.tlsTemplate);
  EXPECT_EQ(read.tls.templateSize, 8u);
  EXPECT_EQ(read.tls.zeroFill, 8u);
  EXPECT_EQ(read.tls.indexRva, built.tlsIndex);
  EXPECT_EQ(read.tls.callbacks,
            std::vector<std::uint32_t>{static_cast<std::uint32_t>(built.tlsCallbackCode)});
}

TEST(PeImage, EachPageGetsItsSectionsProtectionAndNoneIsWritableCode) {
  PeHeaders headers;
  const Bytes file = testing::buildPeImage().bytes;
  ASSERT_FALSE(readPeHeaders(file, file.size(), headers));
  const std::vector<PeProtection> plan = protectionPlan(headers);
  struct Expected {
    std::uint64_t offset, size;
    bool readable, writable, executable;
  };
  const Expected expected[] = {{0x0000, 0x1000, true, false, false},   // headers
                               {0x1000, 0x1000, true, false, true},    // .text
                               {0x2000, 0x1000, true, false, false},   // .rdata
                               {0x3000, 0x1000, true, true, false},    // .data
                               {0x4000, 0x1000, true, false, false}};  // .reloc
  ASSERT_EQ(plan.size(), std::size(expected));
  for (std::size_t k = 0; k < plan.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(plan[k].offset, expected[k].offset);
    EXPECT_EQ(plan[k].size, expected[k].size);
    EXPECT_EQ(plan[k].readable, expected[k].readable);
    EXPECT_EQ(plan[k].writable, expected[k].writable);
    EXPECT_EQ(plan[k].executable, expected[k].executable);
  }
}

TEST(PeImage, GapsBetweenSectionsAreInaccessible) {
  BuiltPeImage built = testing::buildPeImage();
  putU32(built.bytes, testing::sectionHeaderAt(built, 2) + pe::SECTION_VIRTUAL_SIZE, 0);
  putU32(built.bytes, testing::sectionHeaderAt(built, 2) + pe::SECTION_RAW_SIZE, 0);
  PeHeaders headers;
  ASSERT_FALSE(readPeHeaders(built.bytes, built.bytes.size(), headers));
  const std::vector<PeProtection> plan = protectionPlan(headers);
  ASSERT_EQ(plan.size(), 5u);
  EXPECT_EQ(plan[3].offset, 0x3000u);
  EXPECT_FALSE(plan[3].readable || plan[3].writable || plan[3].executable);
}

struct DamageCase {
  const char* name;
  PeImageOptions options;
  void (*damage)(BuiltPeImage&);
  LoadProblem problem;
  ImageCheck check;
  const char* words;  // the check's words, whole
};

// Test names in ctest show the case, not its bytes.
void PrintTo(const DamageCase& c, std::ostream* out) {
  *out << c.name;
}

class PeImageRefusal : public ::testing::TestWithParam<DamageCase> {};

TEST_P(PeImageRefusal, IsRefusedWithTheCheckThatFailed) {
  BuiltPeImage built = testing::buildPeImage(GetParam().options);
  GetParam().damage(built);
  const ReadImage read = readWholeImage(built.bytes);
  ASSERT_TRUE(read.fault);
  EXPECT_EQ(read.fault->problem, GetParam().problem);
  EXPECT_EQ(read.fault->refusal.check, GetParam().check);
  EXPECT_EQ(imageCheckText(read.fault->refusal), GetParam().words);
}

const PeImageOptions PLAIN{};
const PeImageOptions WITH_TLS{.withTls = true};

std::uint64_t fileHeader(const BuiltPeImage& b) {
  return b.ntHeaders + pe::SIGNATURE_SIZE;
}

std::uint64_t sectionField(const BuiltPeImage& b, unsigned index, std::uint64_t field) {
  return testing::sectionHeaderAt(b, index) + field;
}

std::uint64_t directoryField(const BuiltPeImage& b, std::uint32_t index, unsigned field) {
  return b.optionalHeader + pe::OPTIONAL_DIRECTORIES + index * pe::DIRECTORY_SIZE + 4 * field;
}

void putTlsAlignment(BuiltPeImage& b, std::uint32_t code) {
  putU32(b.bytes, b.tlsDirectory + pe::TLS_CHARACTERISTICS, code << pe::TLS_ALIGNMENT_SHIFT);
}

const DamageCase DAMAGES[] = {
    {"ShortDosHeader", PLAIN, [](BuiltPeImage& b) { b.bytes.resize(40); }, P::DamagedImage,
     C::DosHeaderCutShort, "the DOS header is cut short"},
    {"NoMz", PLAIN, [](BuiltPeImage& b) { b.bytes[1] = 'X'; }, P::DamagedImage, C::DosMagicMissing,
     "the DOS header does not start with MZ"},
    {"LfanewPastTheFile", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, 0x3C, static_cast<std::uint32_t>(b.bytes.size() - 10));
     },
     P::DamagedImage, C::NtHeadersOutsideFile, "e_lfanew points outside the file"},
    {"LfanewOverflowing", PLAIN, [](BuiltPeImage& b) { putU32(b.bytes, 0x3C, 0xFFFFFFFC); },
     P::DamagedImage, C::NtHeadersOutsideFile, "e_lfanew points outside the file"},
    {"NoSignature", PLAIN, [](BuiltPeImage& b) { b.bytes[b.ntHeaders + 1] = 'F'; }, P::DamagedImage,
     C::PeSignatureMissing, "the PE signature is missing"},
    {"Machine386", PLAIN, [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b), pe::MACHINE_I386); },
     P::WrongMachine, C::Machine32Bit, "32-bit"},
    {"MachineArm64", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b), pe::MACHINE_ARM64); }, P::WrongMachine,
     C::MachineArm64, "ARM64"},
    {"MachineOther", PLAIN, [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b), 0x01C4); },
     P::WrongMachine, C::MachineOther, "machine type 0x01C4"},
    {"Pe32Magic", PLAIN, [](BuiltPeImage& b) { putU16(b.bytes, b.optionalHeader, pe::MAGIC_PE32); },
     P::WrongMachine, C::Machine32Bit, "32-bit"},
    {"UnknownMagic", PLAIN, [](BuiltPeImage& b) { putU16(b.bytes, b.optionalHeader, 0x0107); },
     P::DamagedImage, C::OptionalMagicUnknown, "the optional header's magic is unknown"},
    {"NotADll", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b) + pe::FILE_CHARACTERISTICS, 0x22); },
     P::DamagedImage, C::NotADll, "the file is not a DLL"},
    {"OptionalHeaderTooShort", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b) + pe::FILE_OPTIONAL_HEADER_SIZE, 0x40); },
     P::DamagedImage, C::OptionalHeaderCutShort, "the optional header is cut short"},
    {"DirectoriesOverrunTheOptionalHeader", PLAIN,
     [](BuiltPeImage& b) {
       putU16(b.bytes, fileHeader(b) + pe::FILE_OPTIONAL_HEADER_SIZE, 112 + 8 * 4);
     },
     P::DamagedImage, C::DirectoriesOverrunOptionalHeader,
     "the data directories overrun the optional header"},
    {"SectionsAlignedBelowAPage", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.optionalHeader + pe::OPTIONAL_SECTION_ALIGNMENT, 512);
     },
     P::UnsupportedImage, C::SectionsAlignedBelowAPage,
     "sections aligned to 512 bytes, not to whole pages"},
    {"NoSizeOfImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.optionalHeader + pe::OPTIONAL_SIZE_OF_IMAGE, 0); },
     P::DamagedImage, C::SizeOfImageZero, "SizeOfImage is zero"},
    {"HeadersPastTheFile", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.optionalHeader + pe::OPTIONAL_SIZE_OF_HEADERS, 0x10000);
     },
     P::DamagedImage, C::SizeOfHeadersPastFileOrImage,
     "SizeOfHeaders reaches past the file or the image"},
    {"SectionTablePastTheFile", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, fileHeader(b) + pe::FILE_SECTION_COUNT, 0xFFFF); },
     P::DamagedImage, C::SectionTableOutsideFile, "the section table lies outside the file"},
    {"SectionBytesPastTheFile", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, sectionField(b, 2, pe::SECTION_RAW_OFFSET), 0xFFFFF800);
     },
     P::DamagedImage, C::SectionBytesOutsideFile, "section .data: its bytes lie outside the file"},
    {"Truncated", PLAIN, [](BuiltPeImage& b) { b.bytes.resize(b.bytes.size() - 100); },
     P::DamagedImage, C::SectionBytesOutsideFile, "section .reloc: its bytes lie outside the file"},
    {"SectionPastSizeOfImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, sectionField(b, 3, pe::SECTION_VIRTUAL_SIZE), 0x1001); },
     P::DamagedImage, C::SectionPastSizeOfImage, "section .reloc: it reaches past SizeOfImage"},
    {"SectionOffAlignment", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, sectionField(b, 1, pe::SECTION_VIRTUAL_ADDRESS), 0x2200);
     },
     P::DamagedImage, C::SectionOffAlignment,
     "section .rdata: it does not start on a SectionAlignment boundary"},
    {"SectionsOverlapping", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, sectionField(b, 0, pe::SECTION_VIRTUAL_SIZE), 0x1800); },
     P::DamagedImage, C::SectionOverlaps,
     "section .rdata: it overlaps the headers or the section before"},
    {"WritableCode", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, sectionField(b, 0, pe::SECTION_CHARACTERISTICS),
              pe::SECTION_EXECUTE | pe::SECTION_READ | pe::SECTION_WRITE);
     },
     P::UnsupportedImage, C::SectionWritableAndExecutable,
     "section .text, both writable and executable"},
    {"EntryPointInData", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.optionalHeader + pe::OPTIONAL_ENTRY_POINT, 0x3000); },
     P::DamagedImage, C::EntryPointOutsideCode, "the entry point lies outside executable code"},
    {"RelocationsPastTheImage", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, directoryField(b, pe::DIRECTORY_RELOCATIONS, 1), 0x2000);
     },
     P::DamagedImage, C::RelocationDirectoryOutsideImage,
     "the relocation directory lies outside the image"},
    {"RelocationBlockTooShort", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.relocationBlock + 4, 6); }, P::DamagedImage,
     C::RelocationBlockDamaged, "a relocation block is damaged"},
    {"RelocationBlockTooLong", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.relocationBlock + 4, 0x100); }, P::DamagedImage,
     C::RelocationBlockDamaged, "a relocation block is damaged"},
    {"RelocationOfAnotherType", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, b.relocationBlock + 8, 3 << 12 | 0xF0); },
     P::UnsupportedImage, C::RelocationTypeUnsupported, "relocations of type 3"},
    {"RelocationPastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.relocationBlock, 0x4FFF); }, P::DamagedImage,
     C::RelocationOutsideImage, "a relocation points outside the image"},
    {"NoRelocationsAwayFromItsBase", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, directoryField(b, pe::DIRECTORY_RELOCATIONS, 0), 0); },
     P::UnsupportedImage, C::NoRelocationsForMove,
     "a move from its preferred base, which it has no relocations for"},
    {"ImportDescriptorPastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, directoryField(b, pe::DIRECTORY_IMPORTS, 0), 0x4FF0); },
     P::DamagedImage, C::ImportDescriptorOutsideImage,
     "an import descriptor lies outside the image"},
    {"ImportModuleNamePastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.importDescriptor + pe::IMPORT_MODULE_NAME, 0x5000); },
     P::DamagedImage, C::ImportModuleNameOutsideImage,
     "an import's module name lies outside the image"},
    {"ImportModuleNameUnterminated", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.importDescriptor + pe::IMPORT_MODULE_NAME, 0x4FFF);
       b.bytes[0x4FFF] = 'K';
     },
     P::DamagedImage, C::ImportModuleNameOutsideImage,
     "an import's module name lies outside the image"},
    {"ImportLookupPastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.importDescriptor + pe::IMPORT_LOOKUP_TABLE, 0x4FFC); },
     P::DamagedImage, C::ImportLookupOutsideImage, "an import lookup table lies outside the image"},
    {"ImportAddressesPastTheImage", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.importDescriptor + pe::IMPORT_ADDRESS_TABLE, 0x4FFC);
     },
     P::DamagedImage, C::ImportAddressesOutsideImage,
     "an import address table lies outside the image"},
    {"ImportedNamePastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU64(b.bytes, b.importLookup, 0x7FFFFFF0); }, P::DamagedImage,
     C::ImportedNameOutsideImage, "an imported name lies outside the image"},
    {"ImportThunkWithStrayBits", PLAIN,
     [](BuiltPeImage& b) { putU64(b.bytes, b.importLookup, 0x100002120); }, P::DamagedImage,
     C::ImportThunkDamaged, "an import thunk is damaged"},
    // Descriptors sharing one table of 100 thunks: more than the image has slots for.
    {"ImportsMultipliedBySharedTables", PLAIN,
     [](BuiltPeImage& b) { b.bytes = testing::importAmplifiedImage(100, 100); }, P::DamagedImage,
     C::ImportsExceedImage, "the import tables declare more functions than the image has room for"},
    {"TlsDirectoryPastTheImage", WITH_TLS,
     [](BuiltPeImage& b) { putU32(b.bytes, directoryField(b, pe::DIRECTORY_TLS, 0), 0x4FF0); },
     P::DamagedImage, C::TlsDirectoryOutsideImage, "the TLS directory lies outside the image"},
    {"TlsTemplateBackwards", WITH_TLS,
     [](BuiltPeImage& b) {
       putU64(b.bytes, b.tlsDirectory + pe::TLS_TEMPLATE_END, b.preferredBase);
     },
     P::DamagedImage, C::TlsTemplateOutsideImage, "the TLS template lies outside the image"},
    {"TlsTemplatePastTheImage", WITH_TLS,
     [](BuiltPeImage& b) {
       putU64(b.bytes, b.tlsDirectory + pe::TLS_TEMPLATE_END, b.preferredBase + 0x6000);
     },
     P::DamagedImage, C::TlsTemplateOutsideImage, "the TLS template lies outside the image"},
    {"TlsIndexPastTheImage", WITH_TLS,
     [](BuiltPeImage& b) { putU64(b.bytes, b.tlsDirectory + pe::TLS_INDEX_ADDRESS, 0x10); },
     P::DamagedImage, C::TlsIndexOutsideImage, "the TLS index lies outside the image"},
    {"TlsCallbackListPastTheImage", WITH_TLS,
     [](BuiltPeImage& b) {
       putU64(b.bytes, b.tlsDirectory + pe::TLS_CALLBACKS, b.preferredBase + 0x4FFC);
     },
     P::DamagedImage, C::TlsCallbackListOutsideImage,
     "the TLS callback list lies outside the image"},
    {"TlsCallbackInData", WITH_TLS,
     [](BuiltPeImage& b) { putU64(b.bytes, b.tlsCallbacks, b.preferredBase + 0x3000); },
     P::DamagedImage, C::TlsCallbackOutsideCode, "a TLS callback lies outside executable code"},
    {"TlsAlignmentUnknown", WITH_TLS, [](BuiltPeImage& b) { putTlsAlignment(b, 15); },
     P::DamagedImage, C::TlsAlignmentUnknown, "the TLS alignment is unknown"},
    {"NoExportDirectory", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, directoryField(b, pe::DIRECTORY_EXPORTS, 0), 0); },
     P::NoEntryPoint, C::None, ""},
    {"ExportUnderAnotherName",
     {.exportName = "OodleLZ_Compress"},
     [](BuiltPeImage&) {},
     P::NoEntryPoint,
     C::None,
     ""},
    {"ExportDirectoryPastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, directoryField(b, pe::DIRECTORY_EXPORTS, 0), 0x4FE0); },
     P::DamagedImage, C::ExportDirectoryOutsideImage,
     "the export directory lies outside the image"},
    {"ExportTablesPastTheImage", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.exportDirectory + pe::EXPORT_NAME_COUNT, 0x40000000);
     },
     P::DamagedImage, C::ExportTablesOutsideImage, "the export tables lie outside the image"},
    // Names are compared only as far as the one asked for: one outside is not it.
    {"ExportedNamePastTheImage", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, b.exportDirectory + 0x50, 0x4FF8); }, P::NoEntryPoint,
     C::None, ""},
    {"ExportOrdinalOutOfRange", PLAIN,
     [](BuiltPeImage& b) { putU16(b.bytes, b.exportDirectory + 0x60, 1); }, P::DamagedImage,
     C::ExportOrdinalOutOfRange, "an export's ordinal is out of range"},
    {"ForwardedExport", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, b.exportAddresses, static_cast<std::uint32_t>(b.exportDirectory + 0xE0));
       std::memcpy(b.bytes.data() + b.exportDirectory + 0xE0, "NTDLL.Decode", 13);
     },
     P::UnsupportedImage, C::ExportForwarded, "OodleLZ_Decompress forwarded to NTDLL.Decode"},
    {"ForwardedToAnUnterminatedName", PLAIN,
     [](BuiltPeImage& b) {
       const std::uint64_t forwarder = b.exportDirectory + 0xE0;
       std::fill_n(b.bytes.begin() + static_cast<std::ptrdiff_t>(forwarder), 4096, 'N');
       putU32(b.bytes, b.exportAddresses, static_cast<std::uint32_t>(forwarder));
     },
     P::UnsupportedImage, C::ExportForwarded, "OodleLZ_Decompress forwarded to another library"},
    {"ExportInData", PLAIN, [](BuiltPeImage& b) { putU32(b.bytes, b.exportAddresses, 0x3000); },
     P::DamagedImage, C::ExportOutsideCode, "OodleLZ_Decompress lies outside executable code"},
};

INSTANTIATE_TEST_SUITE_P(Damages, PeImageRefusal, ::testing::ValuesIn(DAMAGES),
                         [](const ::testing::TestParamInfo<DamageCase>& info) {
                           return std::string(info.param.name);
                         });

// What Windows' loader takes, though it is not what its linker writes.
struct TakenCase {
  const char* name;
  PeImageOptions options;
  void (*change)(BuiltPeImage&);
  void (*check)(const BuiltPeImage&, const ReadImage&);
};

void PrintTo(const TakenCase& c, std::ostream* out) {
  *out << c.name;
}

class PeImageTaken : public ::testing::TestWithParam<TakenCase> {};

TEST_P(PeImageTaken, AsWindowsTakesIt) {
  BuiltPeImage built = testing::buildPeImage(GetParam().options);
  GetParam().change(built);
  const ReadImage read = readWholeImage(built.bytes);
  ASSERT_FALSE(read.fault) << imageCheckText(read.fault->refusal);
  GetParam().check(built, read);
}

void relocated(const BuiltPeImage& b, const ReadImage& read) {
  EXPECT_EQ(readU64(read.image.data() + b.absolutePointer), LOADED_BASE + b.exportedCode);
}

const TakenCase TAKEN[] = {
    // A raw size rounded up past the file's end: only the virtual size is copied.
    {"RawSizePastTheFileEnd", PLAIN,
     [](BuiltPeImage& b) { putU32(b.bytes, sectionField(b, 2, pe::SECTION_RAW_SIZE), 0x100000); },
     [](const BuiltPeImage& b, const ReadImage& read) {
       EXPECT_EQ(read.headers.sections[2].copied, 0x1000u);
       relocated(b, read);
     }},
    // An empty block ends the table: what follows it is never read.
    {"EmptyRelocationBlockEndsTheTable", PLAIN,
     [](BuiltPeImage& b) {
       const std::uint64_t size = directoryField(b, pe::DIRECTORY_RELOCATIONS, 1);
       const std::uint32_t used = static_cast<std::uint32_t>(readU32(b.bytes.data() + size));
       putU32(b.bytes, b.relocationBlock + used, 0x3000);
       putU32(b.bytes, b.relocationBlock + used + 4, 0);
       putU32(b.bytes, b.relocationBlock + used + 8, 0x4FFF);  // a block that is damaged
       putU32(b.bytes, b.relocationBlock + used + 12, 3);
       putU32(b.bytes, size, used + 16);
     },
     relocated},
    {"TlsAlignedTo64Bytes", WITH_TLS, [](BuiltPeImage& b) { putTlsAlignment(b, 7); },
     [](const BuiltPeImage&, const ReadImage& read) { EXPECT_EQ(read.tls.alignment, 64u); }},
    {"TlsAlignedTo8192Bytes", WITH_TLS, [](BuiltPeImage& b) { putTlsAlignment(b, 14); },
     [](const BuiltPeImage&, const ReadImage& read) { EXPECT_EQ(read.tls.alignment, 8192u); }},
    {"TlsWithoutAlignment", WITH_TLS, [](BuiltPeImage&) {},
     [](const BuiltPeImage&, const ReadImage& read) { EXPECT_EQ(read.tls.alignment, 1u); }},
    // Listed with its number; the loader decides what it binds to.
    {"ImportByOrdinal", PLAIN,
     [](BuiltPeImage& b) { putU64(b.bytes, b.importLookup + 8, pe::THUNK_BY_ORDINAL | 17); },
     [](const BuiltPeImage& b, const ReadImage& read) {
       ASSERT_EQ(read.imports.size(), 2u);
       EXPECT_EQ(read.imports[1].name, "");
       EXPECT_EQ(read.imports[1].ordinal, 17u);
       EXPECT_EQ(read.imports[1].slot, b.importAddresses + 8);
     }},
    {"FunctionTable", PLAIN,
     [](BuiltPeImage& b) {
       putU32(b.bytes, directoryField(b, pe::DIRECTORY_EXCEPTIONS, 0), 0x2800);
       putU32(b.bytes, directoryField(b, pe::DIRECTORY_EXCEPTIONS, 1),
              3 * pe::RUNTIME_FUNCTION_SIZE);
     },
     [](const BuiltPeImage&, const ReadImage& read) {
       std::uint32_t first = 0, count = 0;
       readFunctionTable(read.image, read.headers, first, count);
       EXPECT_EQ(first, 0x2800u);
       EXPECT_EQ(count, 3u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Leniencies, PeImageTaken, ::testing::ValuesIn(TAKEN),
                         [](const ::testing::TestParamInfo<TakenCase>& info) {
                           return std::string(info.param.name);
                         });

struct SharedTables {
  std::uint32_t descriptors;
  std::uint32_t thunks;
  bool refused;
};

// However the descriptors share their tables, no more imports are read than the image has
// slots for.
TEST(PeImage, ImportCountsAreBoundedByTheImage) {
  for (const SharedTables tables : {SharedTables{10, 100, false}, SharedTables{100, 100, true},
                                    SharedTables{10000, 1, false}, SharedTables{1, 10000, false}}) {
    SCOPED_TRACE(std::to_string(tables.descriptors) + " x " + std::to_string(tables.thunks));
    const Bytes file = testing::importAmplifiedImage(tables.descriptors, tables.thunks);
    const ReadImage read = readWholeImage(file);
    EXPECT_EQ(read.fault.has_value(), tables.refused);
    if (read.fault) {
      EXPECT_EQ(read.fault->problem, P::DamagedImage) << imageCheckText(read.fault->refusal);
    }
    if (!tables.refused) {
      EXPECT_EQ(read.imports.size(), std::uint64_t{tables.descriptors} * tables.thunks);
    }
  }
}

// Only a prefix of the file is needed to read the headers.
TEST(PeImage, TheHeadersAreReadFromTheStartOfTheFile) {
  const BuiltPeImage built = testing::buildPeImage();
  const std::uint64_t extent = peHeadersExtent(ByteSpan(built.bytes).first(512));
  EXPECT_EQ(extent, 0x1000u) << "SizeOfHeaders, past the section table";
  PeHeaders headers;
  EXPECT_FALSE(readPeHeaders(ByteSpan(built.bytes).first(extent), built.bytes.size(), headers));
  EXPECT_EQ(headers.sections.size(), 4u);
  EXPECT_EQ(peHeadersExtent(ByteSpan(built.bytes).first(10)), 10u) << "no DOS header to read";
}

}  // namespace
}  // namespace quarry
