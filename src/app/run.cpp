#include "app/run.h"

#include <iostream>

#include "app/messages.h"
#include "console/progress_display.h"
#include "container/view.h"
#include "decoder/decoder.h"
#include "extract/directories.h"
#include "extract/os_error.h"
#include "extract/paths.h"
#include "extract/payload.h"
#include "extract/text.h"
#include "extract/writer.h"

namespace quarry {
namespace {

constexpr char NO_DECODER[] =
    "Please copy oo2core_8_win64.dll from the game's folder into Quarry folder";
constexpr char USAGE[] = "Usage: Quarry.exe path_to_resources_file output_folder";
constexpr char CANNOT_OPEN[] = "Unable to open resources file :(";

// What one entry's extraction needs, for the whole loop.
struct Extraction {
  const ResourceView& view;
  const std::u16string& outputFolder;
  const Decompressor& decompress;
  ProgressDisplay& display;
  MadeDirectories madeDirectories;
  ResidentPages residentPages;
};

bool entryFailed(Extraction& run, std::uint64_t index, const std::string& what) {
  printErrorLine(run.display, "File #" + std::to_string(index) + " " + what);
  return false;
}

// The entry's name as messages show it, then what went wrong.
std::string about(const EntryRef& entry, const std::string& what) {
  const std::string_view name(entry.name, static_cast<std::size_t>(entry.nameLength));
  return "\"" + escapeForMessage(name) + "\" " + what;
}

std::string cannot(const char* action, const std::u16string& path, int code) {
  return std::string("cannot ") + action + " " + pathForMessage(path) + ": " + osErrorText(code);
}

// Writes the entry's bytes to its path: stored ones straight from the container.
bool writeEntry(Extraction& run, std::uint64_t index, const EntryRef& entry,
                const std::u16string& path, const std::u16string& parent) {
  const Payload payload = decodePayload(run.view, entry, run.decompress);
  if (!payload.stored) noteContainerRead(run.view, run.residentPages, entry.storedSize);
  if (payload.failed()) return entryFailed(run, index, payload.problem);
  const FileRange source =
      payload.stored ? FileRange{run.view.file.fileHandle(), entry.dataOffset} : FileRange{};
  const int written = writeWholeFile(path, payload.data, payload.length, source);
  if (written == 0) return true;
  run.madeDirectories.parents.erase(parent);  // it may have gone: the next entry makes it anew
  return entryFailed(run, index, about(entry, cannot("write", path, written)));
}

// Extracts one entry. False when it was not extracted; its line is printed.
bool extractEntry(Extraction& run, std::uint64_t index) {
  const EntryLookup found = entryAt(run.view, index);
  if (found.problem != nullptr) return entryFailed(run, index, found.problem);
  const EntryRef& entry = found.entry;
  noteContainerRead(run.view, run.residentPages, entry.nameLength);  // its records and name
  const OutputPath target = outputPathFor(run.outputFolder, entry.name, entry.nameLength);
  if (!target.problem.empty()) {
    return entryFailed(run, index, about(entry, "is refused: " + target.problem));
  }
  const DirectoryResult directories = ensureParentDirectories(target.path, run.madeDirectories);
  if (directories.code != 0) {
    const std::string reason = cannot("create directory", directories.parent, directories.code);
    return entryFailed(run, index, about(entry, reason));
  }
  return writeEntry(run, index, entry, target.path, directories.parent);
}

// Extracts every entry in index order, redrawing the bar after each; counts the failures.
std::uint64_t extractAll(const ResourceView& view, const std::u16string& outputFolder,
                         const Decompressor& decompress) {
  ProgressDisplay display = startProgressDisplay();
  Extraction run{view, outputFolder, decompress, display, {}, {}};
  const std::uint64_t count = view.tables.entryCount;
  std::uint64_t failures = 0;
  for (std::uint64_t index = 0; index < count; ++index) {
    if (!extractEntry(run, index)) ++failures;
    updateProgress(display, progressPercent(index, count));
  }
  return failures;
}

}  // namespace

int runExtraction(int argumentCount, const std::u16string* arguments) {
  std::string why;
  const DecoderBinding decoder = bindDecompressor();
  if (!decoder.decompress) {
    std::cerr << NO_DECODER << std::endl;
    why = decoderProblemLine(decoder);
    if (!why.empty()) std::cerr << why << std::endl;
    std::cerr << std::endl;
    return EXIT_NO_DECODER;
  }
  if (argumentCount != 3) {
    std::cerr << USAGE << std::endl << std::endl;
    return EXIT_CANNOT_START;
  }
  const std::u16string resourcesPath = arguments[1];
  const std::u16string outputFolder = arguments[2];
  ResourceView view;
  if (!openResourceView(resourcesPath, view, why)) {
    std::cerr << CANNOT_OPEN << std::endl << why << std::endl;
    return EXIT_CANNOT_START;
  }
  std::cout << "Found " << view.tables.entryCount << " files, extracting..." << std::endl;
  const std::uint64_t failures = extractAll(view, outputFolder, decoder.decompress);
  closeResourceView(view);
  return failures == 0 ? EXIT_ALL_EXTRACTED : EXIT_SOME_FAILED;
}

}  // namespace quarry
