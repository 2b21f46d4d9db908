#include "app/messages.h"

#include <csignal>
#include <cstdio>

#include "app/message_text.h"
#include "base/os_error.h"

namespace quarry {
namespace {

#ifdef _WIN32
constexpr char PATH_UNITS[] = "characters";
#else
constexpr char PATH_UNITS[] = "bytes";
#endif

// What a refused name breaks, after "is refused: ".
const char* nameRule(EntryProblem problem) {
  switch (problem) {
    case EntryProblem::NameNotUtf8:
      return "its name is not valid UTF-8";
    case EntryProblem::NameHasPrefix:
      return "its name has a drive, device or server prefix";
    case EntryProblem::NameStartsWithSeparator:
      return "its name starts with a separator";
    case EntryProblem::NameHasParentComponent:
      return "its name has a '..' component";
    case EntryProblem::NameHasDeviceName:
      return "its name has a reserved device name";
    case EntryProblem::NameHasColon:
      return "its name has a colon inside a component";
    case EntryProblem::NameHasTrailingDotOrSpace:
      return "its name has a component that ends in a dot or a space";
    default:
      return nullptr;
  }
}

// The lines that say nothing of the name: the records could not be read, or the bytes.
std::string withoutName(const EntryFailure& failure) {
  switch (failure.problem) {
    case EntryProblem::NameIndexOutsideTable:
      return "has a name index past the end of the string table";
    case EntryProblem::NameStartsOutsideFile:
      return "has a name that starts outside the file";
    case EntryProblem::NameRunsPastFile:
      return "has a name that runs past the end of the file";
    case EntryProblem::StoredBytesOutsideFile:
      return "has stored bytes outside the file";
    case EntryProblem::DecompressionFailed:
      return "failed decompression :(";
    case EntryProblem::OutOfMemory:
      return "needs " + std::to_string(failure.size) +
             " bytes of memory to decode, which cannot be had";
    default:
      return {};
  }
}

std::string shown(const std::string& path) {
  return escapeForMessage(path);
}

// What stopped the library: the signal or exception by its name where it has one.
std::string faultName(int code) {
#ifdef _WIN32
  switch (static_cast<unsigned>(code)) {
    case 22:
      return "abort";
    case 0xC0000005:
      return "access violation";
    case 0xC0000006:
      return "in-page error";
    case 0xC000001D:
      return "illegal instruction";
    case 0xC0000094:
      return "integer division by zero";
    case 0xC00000FD:
      return "stack overflow";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
      return std::string("exception ") + text;
    }
  }
#else
  switch (code) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "signal " + std::to_string(code);
  }
#endif
}

// After "the decoder library ": it crashed, or called what stops the run. An import Quarry
// does not provide is named "MODULE!Name"; the calls that end or unwind are bare names.
std::string decoderStopText(int signal, const std::string& place, const std::string& call) {
  if (call.empty()) return "crashed (" + faultName(signal) + " at " + escapeForMessage(place) + ")";
  const std::string called = "called " + escapeForMessage(call);
  if (call.find('!') == std::string::npos) return called;
  return called + ", which Quarry does not provide";
}

std::string countOf(std::uint64_t functions) {
  return std::to_string(functions) + (functions == 1 ? " function" : " functions");
}

// "msvcrt.dll (12 functions), USER32.dll (1 function) and VCRUNTIME140.dll (3 functions)"
std::string moduleList(const std::vector<ForeignModule>& modules) {
  std::string list;
  for (std::size_t k = 0; k < modules.size(); ++k) {
    if (k > 0) list += k + 1 == modules.size() ? " and " : ", ";
    list += escapeForMessage(modules[k].name) + " (" + countOf(modules[k].functions) + ")";
  }
  return list;
}

std::string couldNotBeLoaded(const DecoderBinding& binding, const std::string& reason) {
  return "Found " + shown(binding.file) + " but it could not be loaded: " + reason;
}

std::string wrongMachineLine(const DecoderBinding& binding) {
  if (binding.detail == "32-bit") {
    return shown(binding.file) + " is a 32-bit Windows library; Quarry needs the 64-bit one";
  }
  return shown(binding.file) + " is a Windows library for " + escapeForMessage(binding.detail) +
         "; Quarry needs the one for 64-bit x86";
}

// What went wrong with a named entry, after its quoted name.
std::string withName(const EntryFailure& failure) {
  const std::string refused = "is refused: ";
  if (const char* rule = nameRule(failure.problem)) return refused + rule;
  switch (failure.problem) {
    case EntryProblem::NameNotConvertible:
      return refused + "its name cannot be converted: " + osErrorText(failure.osError);
    case EntryProblem::PathTooLong:
      return refused + "its path would be longer than " + std::to_string(failure.limit) + " " +
             PATH_UNITS;
    case EntryProblem::LinkInTheWay:
      return refused + "a link stands in the way at " + shown(failure.path);
    case EntryProblem::NotARegularFile:
      return refused + "something other than a regular file stands at " + shown(failure.path);
    case EntryProblem::IsTheContainer:
      return refused + shown(failure.path) + " is the resources file being extracted";
    case EntryProblem::IsTheDecoder:
      return refused + shown(failure.path) + " is the decoder library in use";
    case EntryProblem::DecoderFault:
      return "stops the run: the decoder library " +
             decoderStopText(failure.osError, failure.osError != 0 ? failure.detail : "",
                             failure.osError == 0 ? failure.detail : "");
    case EntryProblem::CannotCreateDirectory:
      return "cannot create directory " + shown(failure.path) + ": " + osErrorText(failure.osError);
    default:
      return "cannot write " + shown(failure.path) + ": " + osErrorText(failure.osError);
  }
}

}  // namespace

std::string decoderProblemLine(const DecoderBinding& binding) {
  const std::string detail = escapeForMessage(binding.detail);
  const std::string file = shown(binding.file);
  switch (binding.problem) {
    case DecoderProblem::none:
    case DecoderProblem::missing:
      return {};
    case DecoderProblem::notLoadable:
      return couldNotBeLoaded(binding, detail);
    case DecoderProblem::notAFile:
      return couldNotBeLoaded(binding, binding.detail == "directory" ? "it is a directory"
                                                                     : "it is not a regular file");
    case DecoderProblem::tooLarge:
      return couldNotBeLoaded(binding, "it is " + std::to_string(binding.size) +
                                           " bytes long, larger than any decoder library");
    case DecoderProblem::noEntryPoint:
      return "The library " + file + " has no entry point " + DECODER_ENTRY_POINT;
    case DecoderProblem::notRunnableHere:
      return file + " is a Windows library, and Quarry runs one only on 64-bit x86 " +
             "Linux, not on this machine";
    case DecoderProblem::wrongMachine:
      return wrongMachineLine(binding);
    case DecoderProblem::damagedImage:
      return couldNotBeLoaded(binding, "the Windows library is damaged (" + detail + ")");
    case DecoderProblem::unsupportedImage:
      return couldNotBeLoaded(binding, "it needs what Quarry's loader does not offer: " + detail);
    case DecoderProblem::foreignImports:
      return file + " imports from " + moduleList(binding.modules) +
             ", which Quarry does not provide";
    case DecoderProblem::initialisationFailed:
      return file + " failed to initialise: its DllMain answered FALSE";
    case DecoderProblem::initialisationStopped:
      return file + " failed to initialise: it " +
             decoderStopText(binding.fault.signal, binding.fault.where, binding.fault.call);
  }
  return couldNotBeLoaded(binding, detail);
}

std::string openFailureLine(const std::u16string& path, const OpenFailure& failure) {
  const std::string cannot = "Cannot open " + pathForMessage(path) + ": ";
  switch (failure.problem) {
    case OpenProblem::CannotOpen:
      return cannot + osErrorText(failure.osError);
    case OpenProblem::IsADirectory:
      return cannot + "it is a directory";
    case OpenProblem::NotARegularFile:
      return cannot + "not a regular file";
    case OpenProblem::Empty:
      return cannot + "the file is empty";
    case OpenProblem::HeaderCutShort:
      return "The header is cut short";
    case OpenProblem::StringCountOutside:
      return "The string table's count lies outside the file";
    case OpenProblem::StringOffsetsOutside:
      return "The string table's offsets lie outside the file";
    case OpenProblem::IndexBlockOutside:
      return "The index block lies outside the file";
    case OpenProblem::NameRecordsOutside:
      return "The index block's name records lie outside the file";
    case OpenProblem::EntryTableOutside:
      return "The entry table lies outside the file";
  }
  return cannot;
}

std::string countLine(std::uint64_t entryCount) {
  return "Found " + std::to_string(entryCount) + " files, extracting...";
}

std::string entryFailureLine(std::uint64_t index, std::string_view name,
                             const EntryFailure& failure) {
  const std::string start = "File #" + std::to_string(index) + " ";
  const std::string plain = withoutName(failure);
  if (!plain.empty()) return start + plain;
  return start + "\"" + escapeForMessage(name) + "\" " + withName(failure);
}

}  // namespace quarry
