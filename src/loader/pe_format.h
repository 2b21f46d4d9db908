// The PE/COFF image format of 64-bit Windows libraries: field positions, record sizes and the
// flag values that Quarry's loader reads. Offsets count from the start of their record.
#pragma once

#include <cstdint>

namespace quarry::pe {

// DOS header, at offset 0: its magic, and where the NT headers start.
constexpr std::uint64_t DOS_HEADER_SIZE = 64;
constexpr std::uint64_t DOS_NEW_HEADER = 0x3C;  // e_lfanew, 32 bits
constexpr std::uint16_t DOS_MAGIC = 0x5A4D;     // "MZ"

// NT headers, at e_lfanew: the signature, the file header, then the optional header.
constexpr std::uint32_t SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr std::uint64_t SIGNATURE_SIZE = 4;

constexpr std::uint64_t FILE_HEADER_SIZE = 20;
constexpr std::uint64_t FILE_MACHINE = 0;
constexpr std::uint64_t FILE_SECTION_COUNT = 2;
constexpr std::uint64_t FILE_OPTIONAL_HEADER_SIZE = 16;
constexpr std::uint64_t FILE_CHARACTERISTICS = 18;

constexpr std::uint16_t MACHINE_AMD64 = 0x8664;
constexpr std::uint16_t MACHINE_I386 = 0x014C;
constexpr std::uint16_t MACHINE_ARM64 = 0xAA64;
constexpr std::uint16_t FILE_IS_DLL = 0x2000;

// Optional header, PE32+ layout.
constexpr std::uint64_t OPTIONAL_MAGIC = 0;
constexpr std::uint64_t OPTIONAL_ENTRY_POINT = 16;
constexpr std::uint64_t OPTIONAL_IMAGE_BASE = 24;
constexpr std::uint64_t OPTIONAL_SECTION_ALIGNMENT = 32;
constexpr std::uint64_t OPTIONAL_SIZE_OF_IMAGE = 56;
constexpr std::uint64_t OPTIONAL_SIZE_OF_HEADERS = 60;
constexpr std::uint64_t OPTIONAL_DIRECTORY_COUNT = 108;
constexpr std::uint64_t OPTIONAL_DIRECTORIES = 112;  // also the size of the fixed part

constexpr std::uint16_t MAGIC_PE32 = 0x010B;
constexpr std::uint16_t MAGIC_PE32_PLUS = 0x020B;

// Data directories: (RVA, size) pairs, 32 bits each.
constexpr std::uint64_t DIRECTORY_SIZE = 8;
constexpr std::uint32_t DIRECTORY_LIMIT = 16;
constexpr std::uint32_t DIRECTORY_EXPORTS = 0;
constexpr std::uint32_t DIRECTORY_IMPORTS = 1;
constexpr std::uint32_t DIRECTORY_EXCEPTIONS = 3;
constexpr std::uint32_t DIRECTORY_RELOCATIONS = 5;
constexpr std::uint32_t DIRECTORY_TLS = 9;

// Section table, right after the optional header.
constexpr std::uint64_t SECTION_HEADER_SIZE = 40;
constexpr std::uint64_t SECTION_NAME_SIZE = 8;
constexpr std::uint64_t SECTION_VIRTUAL_SIZE = 8;
constexpr std::uint64_t SECTION_VIRTUAL_ADDRESS = 12;
constexpr std::uint64_t SECTION_RAW_SIZE = 16;
constexpr std::uint64_t SECTION_RAW_OFFSET = 20;
constexpr std::uint64_t SECTION_CHARACTERISTICS = 36;

constexpr std::uint32_t SECTION_EXECUTE = 0x20000000;
constexpr std::uint32_t SECTION_READ = 0x40000000;
constexpr std::uint32_t SECTION_WRITE = 0x80000000;

// Base relocations: blocks of (page RVA, block size) followed by 16-bit entries, each a type
// in the top 4 bits and an offset into the page in the low 12.
constexpr std::uint64_t RELOCATION_BLOCK_HEADER = 8;
constexpr std::uint64_t RELOCATION_ENTRY_SIZE = 2;
constexpr unsigned RELOCATION_ABSOLUTE = 0;
constexpr unsigned RELOCATION_DIR64 = 10;

// Imports: descriptors ending with an empty one; each names a module and two thunk arrays.
constexpr std::uint64_t IMPORT_DESCRIPTOR_SIZE = 20;
constexpr std::uint64_t IMPORT_LOOKUP_TABLE = 0;
constexpr std::uint64_t IMPORT_MODULE_NAME = 12;
constexpr std::uint64_t IMPORT_ADDRESS_TABLE = 16;
constexpr std::uint64_t THUNK_SIZE = 8;
constexpr std::uint64_t THUNK_BY_ORDINAL = std::uint64_t{1} << 63;
constexpr std::uint64_t THUNK_NAME_RVA_MASK = 0x7FFFFFFF;
constexpr std::uint64_t IMPORT_HINT_SIZE = 2;  // before each imported name

// Export directory.
constexpr std::uint64_t EXPORT_DIRECTORY_SIZE = 40;
constexpr std::uint64_t EXPORT_FUNCTION_COUNT = 20;
constexpr std::uint64_t EXPORT_NAME_COUNT = 24;
constexpr std::uint64_t EXPORT_FUNCTIONS = 28;
constexpr std::uint64_t EXPORT_NAMES = 32;
constexpr std::uint64_t EXPORT_NAME_ORDINALS = 36;

// TLS directory, PE32+ layout: virtual addresses (relocated), not RVAs.
constexpr std::uint64_t TLS_DIRECTORY_SIZE = 40;
constexpr std::uint64_t TLS_TEMPLATE_START = 0;
constexpr std::uint64_t TLS_TEMPLATE_END = 8;
constexpr std::uint64_t TLS_INDEX_ADDRESS = 16;
constexpr std::uint64_t TLS_CALLBACKS = 24;
constexpr std::uint64_t TLS_ZERO_FILL = 32;
constexpr std::uint64_t TLS_CHARACTERISTICS = 36;  // bits 20-23: log2(alignment) + 1, 0 for none
constexpr std::uint32_t TLS_ALIGNMENT_SHIFT = 20;

// Exception directory (.pdata): RUNTIME_FUNCTION records, sorted by their first RVA.
constexpr std::uint64_t RUNTIME_FUNCTION_SIZE = 12;  // begin, end, unwind information

// The page of 64-bit Windows, which is also the page of 64-bit x86 Linux: the loader's one page
// size, for the image's sections, the regions VirtualAlloc hands out and the TEB's pages.
constexpr std::uint32_t PAGE_SIZE = 4096;

// Why a library's entry point and TLS callbacks are called.
constexpr std::uint32_t REASON_PROCESS_ATTACH = 1;

}  // namespace quarry::pe
