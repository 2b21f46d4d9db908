// Every word Quarry prints, composed in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "decoder/decoder.h"

namespace quarry {

constexpr char NO_DECODER[] =
    "Please copy oo2core_8_win64.dll from the game's folder into Quarry folder";
constexpr char USAGE[] = "Usage: Quarry.exe path_to_resources_file output_folder";
constexpr char CANNOT_OPEN[] = "Unable to open resources file :(";
constexpr char CONTAINER_CHANGED[] =
    "The resources file was cut short by another program while it was read; the run stops here";

// "Found <count> files, extracting..."
std::string countLine(std::uint64_t entryCount);

// The line after NO_DECODER that says why no decoder was bound; empty when there is nothing
// more to say (no library anywhere).
std::string decoderProblemLine(const DecoderBinding& binding);

// The line after CANNOT_OPEN: what kept the container at path from being opened.
std::string openFailureLine(const std::u16string& path, const OpenFailure& failure);

// The entry's line: "File #<index> ", then the name where it helps, then what went wrong.
std::string entryFailureLine(std::uint64_t index, std::string_view name,
                             const EntryFailure& failure);

// The line of a run stopped because the output folder cannot be used (or went away).
std::string outputFolderLine(const EntryFailure& failure);

// The line of a run stopped by an interrupt (named as the platform names it), between entries.
std::string interruptedLine(const char* interrupt);
// ... or while the entry's file was being written, which was then removed.
std::string interruptedEntryLine(std::uint64_t index, std::string_view name, const char* interrupt);

}  // namespace quarry
