#include "app/messages.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/message_text.h"
#include "base/os_error.h"
#include "base/unicode.h"

namespace quarry {
namespace {

std::string libraryName() {
  return encodeLossless(DECODER_LIBRARY);
}

std::string hexadecimal(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// "oo2core_8_win64.dll+0x1a2b3" inside the library, else the bare address "0x7f12...".
std::string placeText(const FaultPlace& place) {
  return place.inLibrary ? libraryName() + "+" + hexadecimal(place.at) : hexadecimal(place.at);
}

// After "the decoder library ": it crashed, or called what stops the run. An import Quarry
// does not provide is named "MODULE!Name"; the calls that end or unwind are bare names.
std::string decoderStopText(const DecoderFault& fault) {
  if (fault.call.empty()) {
    return "crashed (" + faultName(fault.signal) + " at " + placeText(fault.where) + ")";
  }
  const std::string called = "called " + escapeForMessage(fault.call);
  if (fault.call.find('!') == std::string::npos) return called;
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
  return "Found " + escapeForMessage(binding.file) + " but it could not be loaded: " + reason;
}

std::string wrongMachineLine(const DecoderBinding& binding) {
  if (binding.refusal.check == ImageCheck::Machine32Bit) {
    return escapeForMessage(binding.file) +
           " is a 32-bit Windows library; Quarry needs the 64-bit one";
  }
  return escapeForMessage(binding.file) + " is a Windows library for " +
         escapeForMessage(imageCheckText(binding.refusal)) +
         "; Quarry needs the one for 64-bit x86";
}

// Why the system or the file refused: the check's words where the loader made one, else
// dlopen's own.
std::string notLoadableReason(const DecoderBinding& binding) {
  if (binding.refusal.check != ImageCheck::None) return imageCheckText(binding.refusal);
  return binding.systemWords.empty() ? "unknown reason" : binding.systemWords;
}

// False for the lines that say nothing of the name: the records could not be read, or the
// bytes did not decode.
bool namesTheEntry(const EntryFailure& failure) {
  if (std::holds_alternative<RecordProblem>(failure)) return false;
  const auto* decoding = std::get_if<DecodeFailure>(&failure);
  return decoding == nullptr || decoding->problem != DecodeProblem::DecompressionFailed;
}

std::string plural(std::uint64_t count, const char* word) {
  return std::string(word) + (count == 1 ? "" : "s");
}

// "1,024 files", "1 container".
std::string counted(std::uint64_t count, const char* word) {
  return withThousands(count) + " " + plural(count, word);
}

constexpr char REFUSED[] = "is refused: ";

// What went wrong with the entry, after its quoted name where namesTheEntry holds: one
// wording per part of Quarry that can find it.
std::string problemText(RecordProblem problem) {
  switch (problem) {
    case RecordProblem::NameIndexOutsideTable:
      return "has a name index past the end of the string table";
    case RecordProblem::NameStartsOutsideFile:
      return "has a name that starts outside the file";
    case RecordProblem::NameRunsPastFile:
      return "has a name that runs past the end of the file";
    case RecordProblem::StoredBytesOutsideFile:
      break;
  }
  return "has stored bytes outside the file";
}

std::string problemText(const NameFailure& failure) {
  const std::string refused = REFUSED;
  switch (failure.problem) {
    case NameProblem::NotUtf8:
      return refused + "its name is not valid UTF-8";
    case NameProblem::HasPrefix:
      return refused + "its name has a drive, device or server prefix";
    case NameProblem::StartsWithSeparator:
      return refused + "its name starts with a separator";
    case NameProblem::HasParentComponent:
      return refused + "its name has a '..' component";
    case NameProblem::HasDeviceName:
      return refused + "its name has a reserved device name";
    case NameProblem::HasColon:
      return refused + "its name has a colon inside a component";
    case NameProblem::HasTrailingDotOrSpace:
      return refused + "its name has a component that ends in a dot or a space";
    case NameProblem::NotConvertible:
      return refused + "its name cannot be converted: " + osErrorText(failure.osError);
    case NameProblem::PathTooLong:
      break;
  }
  return refused + "its path would be longer than " + std::to_string(failure.limit) + " " +
         pathUnits();
}

std::string problemText(const OutputFailure& failure) {
  const std::string refused = REFUSED;
  const std::string path = escapeForMessage(failure.path);
  switch (failure.problem) {
    case OutputProblem::LinkInTheWay:
      return refused + "a link stands in the way at " + path;
    case OutputProblem::NotARegularFile:
      return refused + "something other than a regular file stands at " + path;
    case OutputProblem::IsTheContainer:
      return refused + path + " is the resources file being extracted";
    case OutputProblem::IsTheDecoder:
      return refused + path + " is the decoder library in use";
    case OutputProblem::IsQuarrysOutput:
      return refused + path + " is where Quarry's own output goes";
    case OutputProblem::CannotCreateDirectory:
      return "cannot create directory " + path + ": " + osErrorText(failure.osError);
    case OutputProblem::OutputFolderUnusable:  // worded whole by outputFolderLine; here as a write
    case OutputProblem::CannotWrite:
      break;
  }
  return "cannot write " + path + ": " + osErrorText(failure.osError);
}

std::string problemText(const DecodeFailure& failure) {
  switch (failure.problem) {
    case DecodeProblem::DecompressionFailed:
      return "failed decompression :(";
    case DecodeProblem::OutOfMemory:
      return "needs " + std::to_string(failure.size) +
             " bytes of memory to decode, which cannot be had";
    case DecodeProblem::DecoderFault:
      break;
  }
  return "stops the run: the decoder library " + decoderStopText(failure.fault);
}

}  // namespace

std::string noDecoderLine() {
  return "Please copy " + libraryName() + " from the game's folder into Quarry folder";
}

std::string decoderProblemLine(const DecoderBinding& binding) {
  const std::string check = escapeForMessage(imageCheckText(binding.refusal));
  const std::string file = escapeForMessage(binding.file);
  switch (binding.problem) {
    case LoadProblem::None:
    case LoadProblem::Missing:
      return {};
    case LoadProblem::NotLoadable:
      return couldNotBeLoaded(binding, escapeForMessage(notLoadableReason(binding)));
    case LoadProblem::NotAFile:
    case LoadProblem::TooLarge:
      return couldNotBeLoaded(binding, check);
    case LoadProblem::NoEntryPoint:
      return "The library " + file + " has no entry point " + DECODER_ENTRY_POINT;
    case LoadProblem::NotRunnableHere:
      return file + " is a Windows library, and Quarry runs one only on 64-bit x86 " +
             "Linux, not on this machine";
    case LoadProblem::WrongMachine:
      return wrongMachineLine(binding);
    case LoadProblem::DamagedImage:
      return couldNotBeLoaded(binding, "the Windows library is damaged (" + check + ")");
    case LoadProblem::UnsupportedImage:
      return couldNotBeLoaded(binding, "it needs what Quarry's loader does not offer: " + check);
    case LoadProblem::ForeignImports:
      return file + " imports from " + moduleList(binding.modules) +
             ", which Quarry does not provide";
    case LoadProblem::InitialisationFailed:
      return file + " failed to initialise: its DllMain answered FALSE";
    case LoadProblem::InitialisationStopped:
      return file + " failed to initialise: it " + decoderStopText(binding.fault);
  }
  return {};
}

std::string openFailureLine(const std::u16string& path, const OpenFailure& failure, bool several) {
  const std::string cannot = "Cannot open " + pathForMessage(path) + ": ";
  const std::string tables = several ? pathForMessage(path) + ": " : std::string();
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
      return tables + "The header is cut short";
    case OpenProblem::StringCountOutside:
      return tables + "The string table's count lies outside the file";
    case OpenProblem::StringOffsetsOutside:
      return tables + "The string table's offsets lie outside the file";
    case OpenProblem::IndexBlockOutside:
      return tables + "The index block lies outside the file";
    case OpenProblem::NameRecordsOutside:
      return tables + "The index block's name records lie outside the file";
    case OpenProblem::EntryTableOutside:
      return tables + "The entry table lies outside the file";
  }
  return cannot;
}

std::string findFailureLine(const FindFailure& failure) {
  const std::string where = pathForMessage(failure.where);
  switch (failure.problem) {
    case FindProblem::NoContainerInFolder:
      return "Cannot open " + where + ": the folder holds no .resources file";
    case FindProblem::NoWildcardMatch:
      return "Cannot open " + where + ": the wildcard matches no file";
    case FindProblem::CannotReadFolder:
      break;
  }
  return "Cannot read the folder " + where + ": " + osErrorText(failure.osError);
}

std::string outputIsAContainerLine(const std::u16string& path) {
  return pathForMessage(path) +
         " is a resources file, not an output folder; several containers are given as the "
         "folder that holds them";
}

std::string countLine(std::uint64_t entryCount) {
  return "Found " + std::to_string(entryCount) + " files, extracting...";
}

std::string countLine(std::uint64_t entryCount, std::uint64_t containerCount) {
  return "Found " + counted(entryCount, "file") + " in " + counted(containerCount, "container") +
         ", extracting...";
}

std::string entryFailureLine(const EntryPlace& place, const EntryFailure& failure) {
  std::string line = "File #" + std::to_string(place.index) + " ";
  if (namesTheEntry(failure) || (place.named && !place.name.empty())) {
    line += "\"" + escapeForMessage(place.name) + "\" ";
  }
  if (!place.container.empty()) line += "in " + escapeForMessage(place.container) + " ";
  return line + std::visit([](const auto& found) { return problemText(found); }, failure);
}

std::string outputFolderLine(const OutputFailure& failure) {
  if (failure.osError == 0) {
    return "The output folder " + escapeForMessage(failure.path) +
           " was removed during the run; the run stops here";
  }
  return "Cannot use the output folder " + escapeForMessage(failure.path) + ": " +
         osErrorText(failure.osError) + "; the run stops here";
}

std::string interruptedLine(int interrupt) {
  return "Interrupted by " + interruptName(interrupt) + "; the run stops here";
}

std::string interruptedEntryLine(const EntryPlace& place, int interrupt) {
  std::string line =
      "File #" + std::to_string(place.index) + " \"" + escapeForMessage(place.name) + "\" ";
  if (!place.container.empty()) line += "in " + escapeForMessage(place.container) + " ";
  return line + "was interrupted by " + interruptName(interrupt) +
         " and its unfinished file removed; the run stops here";
}

std::string staleTemporariesLine(std::uint64_t count) {
  return "Removed " + withThousands(count) + " unfinished " + plural(count, "file") +
         " that a killed run had left";
}

std::string listOutputLostLine(int osError) {
  return "Cannot write the list to standard output: " + osErrorText(osError);
}

std::string unexpectedStopLine(const char* what) {
  return std::string("Quarry stopped: ") + what;
}

// ---- The command line's words: usage, help, version, patterns, listing, the summary ----

namespace {

// Kept under 30 lines: the README shows the same text.
constexpr char HELP_TEXT[] =
    R"(Usage:
  quarry <resources file> <output folder>
  quarry [options] <resources file> <output folder> [<pattern>...]
  quarry --list [--json] <resources file> [<pattern>...]
  quarry --test <resources file> [<pattern>...]
  quarry --help | --version

A folder stands for every .resources file below it, in the byte order of their
paths; a file that several of them hold is written once, from the last.

Options (anywhere before a lone --, after which every argument is a name):
  --list           list the entries: size, stored size, how stored, name
  --json           with --list: one JSON object per entry, one per line
  --test           read and decode as extraction would, but write nothing
  --keep-existing  leave every file that already exists as it is
  --help           show this help
  --version        show Quarry's version and the decoder library it would use

Patterns select entries by their whole name: * and ? within a folder, ** across
folders, sets [abc] [a-z] [!a-z]; / and \ are the same; A-Z match a-z.
Quote them, so that the shell leaves them alone.

Examples:
  quarry game.resources out
  quarry game-folder out "textures/**/*.dds" "*.json"
  quarry --keep-existing game.resources out
  quarry --list game-folder "decls/**/english.lang"
  quarry --list --json game.resources > entries.jsonl
  quarry --test game-folder

Status: 0 all done; 1 an entry failed or a pattern matched none; 2 cannot start;
255 (-1 on Windows) the decoder library failed; 128 + signal interrupted.
)";

#ifndef QUARRY_VERSION
#define QUARRY_VERSION "unknown"
#endif

// Right-aligned in a column of width characters; longer text overflows it.
// The sizes' columns of the verbose list: room for a size below 100 GiB.
constexpr std::size_t SIZE_COLUMN = 12;
constexpr std::size_t STORAGE_COLUMN = 17;

// A number right-aligned in width columns; a list of 300,000 entries is mostly this.
void appendColumn(std::string& out, std::uint64_t number, std::size_t width) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  const auto length = static_cast<std::size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, length);
}

std::string sizeColumns(std::uint64_t size, std::uint64_t storedSize) {
  std::string columns;
  columns.reserve(2 * SIZE_COLUMN + STORAGE_COLUMN + 64);
  appendColumn(columns, size, SIZE_COLUMN);
  columns += ' ';
  appendColumn(columns, storedSize, SIZE_COLUMN);
  columns += "  ";
  return columns;
}

void appendStorageColumn(std::string& out, std::string_view word) {
  out += word;
  out.append(STORAGE_COLUMN - word.size() + 1, ' ');
}

// "; 3 kept, 2 failed", or nothing when there is neither.
std::string tallyTail(const RunTally& tally) {
  std::string tail;
  const auto add = [&tail](std::uint64_t count, const char* word) {
    if (count == 0) return;
    tail += (tail.empty() ? "; " : ", ") + withThousands(count) + " " + word;
  };
  add(tally.kept, "kept");
  add(tally.failed, tally.kind == RunKind::Listed ? "damaged" : "failed");
  add(tally.replaced, "replaced by later containers");
  return tail;
}

const char* runVerb(RunKind kind) {
  switch (kind) {
    case RunKind::Listed:
      return "Listed";
    case RunKind::Tested:
      return "Tested";
    case RunKind::Extracted:
      break;
  }
  return "Extracted";
}

}  // namespace

std::string usageProblemLine(const UsageError& error) {
  const std::string option = escapeForMessage(error.option);
  switch (error.problem) {
    case UsageProblem::UnknownOption:
      return "unknown option \"" + option + "\"";
    case UsageProblem::OptionNeedsMode:
      return option + " goes only with " + error.other;
    case UsageProblem::OptionsConflict:
      return option + " cannot be used with " + error.other;
    case UsageProblem::MissingResources:
      return "missing the resources file";
    case UsageProblem::MissingOutput:
      return "missing the output folder";
    case UsageProblem::None:
      break;
  }
  return {};
}

std::string helpText() {
  return HELP_TEXT;
}

std::string versionLine() {
  return std::string("Quarry ") + QUARRY_VERSION;
}

std::string decoderChoiceLine(std::string_view path, DecoderKind kind) {
  const std::string shownPath = escapeForMessage(path);
  switch (kind) {
    case DecoderKind::WindowsLibraryThroughLoader:
      return "Decoder: " + shownPath + " (a Windows DLL, loaded by Quarry's own loader)";
    case DecoderKind::NativeLibrary:
      return "Decoder: " + shownPath + " (a native library, loaded by the system)";
    case DecoderKind::NoneFound:
      break;
  }
  return "Decoder: none found; extracting and --test need " + libraryName() +
         " from the game's folder beside Quarry";
}

std::string noEntryMatchesLine(std::string_view pattern) {
  return "no entry matches \"" + escapeForMessage(pattern) + "\"";
}

ListedEntry listedEntry(std::uint64_t index, const EntryRef& entry,
                        std::optional<RecordProblem> problem) {
  ListedEntry listed;
  listed.index = index;
  listed.name = entry.name;
  listed.size = entry.fullSize;
  listed.storedSize = entry.storedSize;
  listed.offset = entry.dataOffset;
  listed.storage = storageOf(entry);
  listed.problem = problem;
  return listed;
}

const char* storageWord(Storage storage) {
  switch (storage) {
    case Storage::Compressed:
      return "compressed";
    case Storage::CompressedPrefixed:
      return "compressed+prefix";
    case Storage::Stored:
      break;
  }
  return "stored";
}

std::string listingLine(const ListedEntry& entry) {
  std::string line = sizeColumns(entry.size, entry.storedSize);
  appendStorageColumn(line, entry.problem ? "damaged" : storageWord(entry.storage));
  if (!entry.container.empty()) {
    const std::string container = escapeForMessage(entry.container);
    line += container;
    line.append(std::max(entry.containerColumn, container.size()) - container.size() + 2, ' ');
    line += entry.replaced ? "replaced  " : "          ";
  }
  if (!entry.problem) return line + escapeForMessage(entry.name);
  return line + entryFailureLine(EntryPlace{entry.index, entry.name, {}, true}, *entry.problem);
}

std::string listingTotalLine(std::uint64_t count, std::uint64_t size, std::uint64_t storedSize,
                             std::uint64_t containers) {
  std::string line = sizeColumns(size, storedSize) + counted(count, "file");
  if (containers == 0) return line;
  return line + " in " + counted(containers, "container");
}

std::string listingJsonLine(const ListedEntry& entry) {
  std::string line = "{\"index\":" + std::to_string(entry.index);
  if (!entry.container.empty()) line += ",\"container\":" + jsonString(entry.container);
  line += ",\"name\":" + jsonString(entry.name);
  if (!isStrictUtf8(entry.name)) line += ",\"name_hex\":\"" + hexOf(entry.name) + "\"";
  line += ",\"size\":" + std::to_string(entry.size);
  line += ",\"stored_size\":" + std::to_string(entry.storedSize);
  line += ",\"offset\":" + std::to_string(entry.offset);
  line += ",\"storage\":\"" + std::string(storageWord(entry.storage)) + "\"";
  if (entry.replaced) line += ",\"replaced\":true";
  if (entry.problem) {
    const EntryPlace place{entry.index, entry.name, {}, true};
    line += ",\"problem\":" + jsonString(entryFailureLine(place, *entry.problem));
  }
  return line + "}";
}

std::string withThousands(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string out;
  for (std::size_t k = 0; k < digits.size(); ++k) {
    if (k != 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

std::string byteSize(std::uint64_t bytes) {
  static const char* const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  int unit = 1;
  while (unit < 6 && bytes >> (10 * (unit + 1)) != 0) ++unit;
  std::uint64_t tenths = 0;
  for (;; ++unit) {
    // 10 * rest + half stays below 2^64 for every unit up to EiB.
    const std::uint64_t size = std::uint64_t{1} << (10 * unit);
    const std::uint64_t rest = bytes & (size - 1);
    tenths = (bytes >> (10 * unit)) * 10 + (10 * rest + size / 2) / size;
    if (tenths < 10240 || unit == 6) break;
  }
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + UNITS[unit];
}

std::string durationText(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  if (seconds < 59.95) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }
  const auto whole = static_cast<std::uint64_t>(std::llround(std::min(seconds, 1e12)));
  if (whole < 3600) {
    return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
  }
  return std::to_string(whole / 3600) + " h " + std::to_string(whole / 60 % 60) + " min";
}

std::string summaryLine(const RunTally& tally) {
  const bool listed = tally.kind == RunKind::Listed;
  const std::uint64_t taken = listed ? tally.selected : tally.done;
  std::string line = std::string(runVerb(tally.kind)) + " " + withThousands(taken);
  if (taken != tally.selected) line += " of " + withThousands(tally.selected);
  line += " " + plural(tally.selected, "file");
  if (tally.containers != 0) {
    line += " from " + counted(tally.containers, "container");
  }
  if (tally.bytes != 0) line += " (" + byteSize(tally.bytes) + ")";
  return line + " in " + durationText(tally.seconds) + tallyTail(tally);
}

}  // namespace quarry
