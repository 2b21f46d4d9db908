// The words of every check the loader makes of a Windows library, which decoderProblemLine
// frames. Part of messages.cpp in all but the file: the list is long, and the file is not.
#include <cstdio>

#include "app/messages.h"
#include "base/os_error.h"

namespace quarry {
namespace {

// "machine type 0x01C4": a machine Quarry has no name for, as the image's header holds it.
std::string machineTypeText(std::uint64_t machine) {
  char text[32];
  std::snprintf(text, sizeof text, "machine type 0x%04X", static_cast<unsigned>(machine));
  return text;
}

}  // namespace

// Every check has its own words; there is no default, so a new check does not build until it
// has them.
std::string imageCheckText(const LoadRefusal& refusal) {
  const std::string section = "section " + refusal.name;
  switch (refusal.check) {
    case ImageCheck::None:
      return {};
    case ImageCheck::SystemRefused:
      return osErrorText(refusal.osError);
    case ImageCheck::FileIsADirectory:
      return "it is a directory";
    case ImageCheck::FileNotRegular:
      return "it is not a regular file";
    case ImageCheck::FileTooLarge:
      return "it is " + std::to_string(refusal.number) +
             " bytes long, larger than any decoder library";
    case ImageCheck::DosHeaderCutShort:
      return "the DOS header is cut short";
    case ImageCheck::DosMagicMissing:
      return "the DOS header does not start with MZ";
    case ImageCheck::NtHeadersOutsideFile:
      return "e_lfanew points outside the file";
    case ImageCheck::PeSignatureMissing:
      return "the PE signature is missing";
    case ImageCheck::Machine32Bit:
      return "32-bit";
    case ImageCheck::MachineArm64:
      return "ARM64";
    case ImageCheck::MachineOther:
      return machineTypeText(refusal.number);
    case ImageCheck::OptionalHeaderCutShort:
      return "the optional header is cut short";
    case ImageCheck::OptionalMagicUnknown:
      return "the optional header's magic is unknown";
    case ImageCheck::NotADll:
      return "the file is not a DLL";
    case ImageCheck::DirectoriesOverrunOptionalHeader:
      return "the data directories overrun the optional header";
    case ImageCheck::SectionsAlignedBelowAPage:
      return "sections aligned to " + std::to_string(refusal.number) + " bytes, not to whole pages";
    case ImageCheck::SizeOfImageZero:
      return "SizeOfImage is zero";
    case ImageCheck::SizeOfHeadersPastFileOrImage:
      return "SizeOfHeaders reaches past the file or the image";
    case ImageCheck::SectionTableOutsideFile:
      return "the section table lies outside the file";
    case ImageCheck::SectionBytesOutsideFile:
      return section + ": its bytes lie outside the file";
    case ImageCheck::SectionOffAlignment:
      return section + ": it does not start on a SectionAlignment boundary";
    case ImageCheck::SectionOverlaps:
      return section + ": it overlaps the headers or the section before";
    case ImageCheck::SectionPastSizeOfImage:
      return section + ": it reaches past SizeOfImage";
    case ImageCheck::SectionWritableAndExecutable:
      return section + ", both writable and executable";
    case ImageCheck::EntryPointOutsideCode:
      return "the entry point lies outside executable code";
    case ImageCheck::NoRelocationsForMove:
      return "a move from its preferred base, which it has no relocations for";
    case ImageCheck::RelocationDirectoryOutsideImage:
      return "the relocation directory lies outside the image";
    case ImageCheck::RelocationBlockDamaged:
      return "a relocation block is damaged";
    case ImageCheck::RelocationTypeUnsupported:
      return "relocations of type " + std::to_string(refusal.number);
    case ImageCheck::RelocationOutsideImage:
      return "a relocation points outside the image";
    case ImageCheck::ImportDescriptorOutsideImage:
      return "an import descriptor lies outside the image";
    case ImageCheck::ImportModuleNameOutsideImage:
      return "an import's module name lies outside the image";
    case ImageCheck::ImportsExceedImage:
      return "the import tables declare more functions than the image has room for";
    case ImageCheck::ImportLookupOutsideImage:
      return "an import lookup table lies outside the image";
    case ImageCheck::ImportAddressesOutsideImage:
      return "an import address table lies outside the image";
    case ImageCheck::ImportThunkDamaged:
      return "an import thunk is damaged";
    case ImageCheck::ImportedNameOutsideImage:
      return "an imported name lies outside the image";
    case ImageCheck::TooManyMissingFunctions:
      return "more than " + std::to_string(refusal.number) +
             " KERNEL32 functions that Quarry does not provide";
    case ImageCheck::TlsDirectoryOutsideImage:
      return "the TLS directory lies outside the image";
    case ImageCheck::TlsTemplateOutsideImage:
      return "the TLS template lies outside the image";
    case ImageCheck::TlsIndexOutsideImage:
      return "the TLS index lies outside the image";
    case ImageCheck::TlsAlignmentUnknown:
      return "the TLS alignment is unknown";
    case ImageCheck::TlsCallbackListOutsideImage:
      return "the TLS callback list lies outside the image";
    case ImageCheck::TlsCallbackOutsideCode:
      return "a TLS callback lies outside executable code";
    case ImageCheck::ExportDirectoryOutsideImage:
      return "the export directory lies outside the image";
    case ImageCheck::ExportTablesOutsideImage:
      return "the export tables lie outside the image";
    case ImageCheck::ExportOrdinalOutOfRange:
      return "an export's ordinal is out of range";
    case ImageCheck::ExportForwarded:
      return refusal.name + " forwarded to " +
             (refusal.target.empty() ? "another library" : refusal.target);
    case ImageCheck::ExportOutsideCode:
      return refusal.name + " lies outside executable code";
  }
  return {};
}

}  // namespace quarry
