// Why a decoder library was not bound, and which of the loader's checks refused a Windows
// image: data only, worded by src/app/messages.cpp. No platform code, so both builds include
// it, the Windows build too, where the loader itself is not compiled.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarry {

// Why no decoder library was bound: the native binding's answers and the loader's alike.
enum class LoadProblem {
  None,
  Missing,                // no library of that name anywhere
  NotLoadable,            // the system's loader or the file itself failed
  NotAFile,               // a directory, FIFO, device... stands at the library's name
  TooLarge,               // the file is larger than any such library
  NoEntryPoint,           // loaded, but the export asked for is not there
  NotRunnableHere,        // a Windows library on a machine where Quarry cannot load one
  WrongMachine,           // a Windows library for another CPU
  DamagedImage,           // a check of the image failed
  UnsupportedImage,       // sound, but needs what the loader does not offer
  ForeignImports,         // it imports from modules Quarry does not provide
  InitialisationFailed,   // its DllMain answered FALSE
  InitialisationStopped,  // its initialisation crashed or asked to end
};

// Each check that can refuse a library, by a number that is its identity: a number is never
// reused or renumbered, and a new check takes the next one.
enum class ImageCheck {
  None = 0,
  // The file (osError, number: its size)
  SystemRefused = 1,
  FileIsADirectory = 2,
  FileNotRegular = 3,
  FileTooLarge = 4,
  // The headers (number: the machine type, the alignment)
  DosHeaderCutShort = 5,
  DosMagicMissing = 6,
  NtHeadersOutsideFile = 7,
  PeSignatureMissing = 8,
  Machine32Bit = 9,
  MachineArm64 = 10,
  MachineOther = 11,
  OptionalHeaderCutShort = 12,
  OptionalMagicUnknown = 13,
  NotADll = 14,
  DirectoriesOverrunOptionalHeader = 15,
  SectionsAlignedBelowAPage = 16,
  SizeOfImageZero = 17,
  SizeOfHeadersPastFileOrImage = 18,
  // The sections (name: the section's)
  SectionTableOutsideFile = 19,
  SectionBytesOutsideFile = 20,
  SectionOffAlignment = 21,
  SectionOverlaps = 22,
  SectionPastSizeOfImage = 23,
  SectionWritableAndExecutable = 24,
  EntryPointOutsideCode = 25,
  // The relocations (number: the type)
  NoRelocationsForMove = 26,
  RelocationDirectoryOutsideImage = 27,
  RelocationBlockDamaged = 28,
  RelocationTypeUnsupported = 29,
  RelocationOutsideImage = 30,
  // The imports (number: how many stand-ins there are)
  ImportDescriptorOutsideImage = 31,
  ImportModuleNameOutsideImage = 32,
  ImportsExceedImage = 33,
  ImportLookupOutsideImage = 34,
  ImportAddressesOutsideImage = 35,
  ImportThunkDamaged = 36,
  ImportedNameOutsideImage = 37,
  TooManyMissingFunctions = 38,
  // Thread-local storage
  TlsDirectoryOutsideImage = 39,
  TlsTemplateOutsideImage = 40,
  TlsIndexOutsideImage = 41,
  TlsAlignmentUnknown = 42,
  TlsCallbackListOutsideImage = 43,
  TlsCallbackOutsideCode = 44,
  // The exports (name: the export's; target: where it is forwarded)
  ExportDirectoryOutsideImage = 45,
  ExportTablesOutsideImage = 46,
  ExportOrdinalOutOfRange = 47,
  ExportForwarded = 48,
  ExportOutsideCode = 49,
};

// The last number taken; a new check moves it.
constexpr ImageCheck LAST_IMAGE_CHECK = ImageCheck::ExportOutsideCode;

// The check that refused a library, with the few values its words need.
struct LoadRefusal {
  ImageCheck check = ImageCheck::None;
  std::string name;          // the section or the export, as the image spells it
  std::string target;        // ExportForwarded: where to, as the image spells it
  std::uint64_t number = 0;  // the file's size, machine type, alignment, relocation type, limit
  int osError = 0;           // SystemRefused: the system's error number
};

// A module other than KERNEL32 that a Windows library imports from, and how many functions.
struct ForeignModule {
  std::string name;
  std::uint64_t functions = 0;
};

}  // namespace quarry
