// Every word Quarry prints, composed in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/command_line.h"
#include "app/entry_failure.h"
#include "container/container_files.h"
#include "container/view.h"
#include "decoder/decoder.h"
#include "extract/payload.h"

namespace quarry {

constexpr char USAGE[] = "Usage: Quarry.exe path_to_resources_file output_folder";
constexpr char CANNOT_OPEN[] = "Unable to open resources file :(";
constexpr char CONTAINER_CHANGED[] =
    "The resources file was cut short by another program while it was read; the run stops here";

// The label the progress bar is drawn after.
constexpr char16_t PROGRESS_LABEL[] = u"Progress:";

// "Please copy oo2core_8_win64.dll from the game's folder into Quarry folder": the first line
// of a run that found no decoder library it could bind.
std::string noDecoderLine();

// "Found <count> files, extracting..."
std::string countLine(std::uint64_t entryCount);
// "Found 19,908 files in 6 containers, extracting...", for a run given a folder or wildcard.
std::string countLine(std::uint64_t entryCount, std::uint64_t containerCount);

// The line after noDecoderLine that says why no decoder was bound; empty when there is nothing
// more to say (no library anywhere).
std::string decoderProblemLine(const DecoderBinding& binding);

// What the loader's check found, as the decoder's line says it (not yet escaped); empty for
// no check.
std::string imageCheckText(const LoadRefusal& refusal);

// The line after CANNOT_OPEN: what kept the container at path from being opened; one of
// several is named whatever its problem.
std::string openFailureLine(const std::u16string& path, const OpenFailure& failure,
                            bool several = false);

// The line after CANNOT_OPEN when the argument stood for no container, or a folder below it
// could not be read.
std::string findFailureLine(const FindFailure& failure);

// The line of a run whose output folder is a resources file.
std::string outputIsAContainerLine(const std::u16string& path);

// Where an entry is, as its lines name it.
struct EntryPlace {
  std::uint64_t index = 0;
  std::string_view name;
  std::string_view container;  // in a run over a folder or a wildcard; else empty
  bool named = false;          // named whatever went wrong (a run started with an option)
};

// The entry's line: "File #<index> ", then the name where it helps (or the place says so),
// then its container in a run over several, then what went wrong.
std::string entryFailureLine(const EntryPlace& place, const EntryFailure& failure);
// As a plain run's line says it.
inline std::string entryFailureLine(std::uint64_t index, std::string_view name,
                                    const EntryFailure& failure) {
  EntryPlace place;
  place.index = index;
  place.name = name;
  return entryFailureLine(place, failure);
}

// The line of a run stopped because the output folder cannot be used (or went away).
std::string outputFolderLine(const OutputFailure& failure);

// The line of a run stopped by the interrupt (the stop's signal or console event), between
// entries.
std::string interruptedLine(int interrupt);
// ... or while the entry's file was being written, which was then removed.
std::string interruptedEntryLine(const EntryPlace& place, int interrupt);

// "Removed 2 unfinished files that a killed run had left", on standard output.
std::string staleTemporariesLine(std::uint64_t count);

// The line of a run that ended on an error nothing below the run expected (memory ran out).
std::string unexpectedStopLine(const char* what);

// ---- The platform's words (messages-posix.cpp, messages-win32.cpp) ----

// The OS error number as a line says it: the system's words; on Windows each insert they
// leave open said as "it", and "error N" where the system has no words.
std::string osErrorText(int code);

// What a path's length is counted in where the platform limits it: "bytes" or "characters".
const char* pathUnits();

// What stopped the decoder library: the signal (POSIX) or exception code (Windows) by its
// name where it has one, else by its number.
std::string faultName(int code);

// The interrupt (a signal, or a console event on Windows) as users know it: "SIGINT",
// "SIGQUIT", "SIGRTMIN+3", "Ctrl+C"...
std::string interruptName(int interrupt);

// ---- The command line's words: usage, help, version, patterns, listing, the summary ----

// The usage line for a command line that cannot be run; a line saying why follows it.
constexpr char USAGE_LINE[] =
    "Usage: quarry [options] <resources file> <output folder> [<pattern>...]"
    " (quarry --help for more)";

// The line after USAGE_LINE: what is wrong with the command line.
std::string usageProblemLine(const UsageError& error);

// What --help prints on standard output: the usage with every option and an example per mode.
std::string helpText();

// "Quarry <version>", the version the build was made as.
std::string versionLine();

// "Decoder: <path> (...)", or that none was found; path is ignored when none was.
std::string decoderChoiceLine(std::string_view path, DecoderKind kind);

// "no entry matches "<pattern>"", for a pattern that selected nothing.
std::string noEntryMatchesLine(std::string_view pattern);

// One entry as --list shows it. problem is the entry's failure, when it has one; its sizes and
// offset are then what its record says, unchecked.
struct ListedEntry {
  std::uint64_t index = 0;
  std::string_view name;
  std::uint64_t size = 0;
  std::uint64_t storedSize = 0;
  std::uint64_t offset = 0;
  Storage storage = Storage::Stored;
  std::optional<RecordProblem> problem = std::nullopt;
  std::string_view container;       // in a list of several containers; else empty
  std::size_t containerColumn = 0;  // the width of the container column
  bool replaced = false;            // a later container writes the same file
};

ListedEntry listedEntry(std::uint64_t index, const EntryRef& entry,
                        std::optional<RecordProblem> problem);

// "stored", "compressed" or "compressed+prefix".
const char* storageWord(Storage storage);

// The verbose list's line: full size, stored size, storage, in a list of several containers
// the container and "replaced" where a later one replaces the entry, then the escaped name; a
// damaged entry shows "damaged" and its failure line instead of the name.
std::string listingLine(const ListedEntry& entry);

// The list's last line: the total full and stored sizes in the same columns, and the count;
// containers, when not 0, as " in 6 containers".
std::string listingTotalLine(std::uint64_t count, std::uint64_t size, std::uint64_t storedSize,
                             std::uint64_t containers = 0);

// The line of a list whose standard output cannot be written: what the system said.
std::string listOutputLostLine(int osError);

// One JSON object on one line: index, name, size, stored_size, offset, storage, and problem
// when there is one; in a list of several containers also container, and replaced (true)
// where a later one replaces the entry. A name that is not valid UTF-8 has its bad bytes as U+FFFD
// in "name" and all its bytes, as lower-case hex, in an extra "name_hex", so a tool gets them back
// exactly.
std::string listingJsonLine(const ListedEntry& entry);

// 1234567 -> "1,234,567".
std::string withThousands(std::uint64_t number);

// Bytes under 1 KiB as "512 B", others in KiB, MiB, GiB, TiB, PiB or EiB with one decimal.
std::string byteSize(std::uint64_t bytes);

// "12.3 s" under a minute, then "2 min 5 s", then "1 h 2 min".
std::string durationText(double seconds);

enum class RunKind { Extracted, Listed, Tested };

// What a run did, counted, for its summary line.
struct RunTally {
  RunKind kind = RunKind::Extracted;
  std::uint64_t selected = 0;  // entries the run took up (all, or those the patterns chose)
  std::uint64_t done = 0;      // extracted or tested whole (a list counts selected)
  std::uint64_t kept = 0;      // left as they were by --keep-existing
  std::uint64_t failed = 0;    // with a failure line (damaged, for a list)
  std::uint64_t bytes = 0;     // the full size of those done
  double seconds = 0;
  std::uint64_t containers = 0;  // in a run over a folder or a wildcard; else 0
  std::uint64_t replaced = 0;    // not taken up: a later container writes the same file
};

// "Extracted 80,002 of 80,004 files (5.1 GiB) in 12.3 s; 2 failed", and its variants: "from
// 6 containers" after "files", "1,024 replaced by later containers" in the tail.
std::string summaryLine(const RunTally& tally);

}  // namespace quarry
