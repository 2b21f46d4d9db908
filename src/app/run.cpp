#include "app/run.h"

#include <iostream>

#include "app/messages.h"
#include "console/progress_display.h"
#include "container/view.h"
#include "extract/decoder.h"
#include "extract/output_tree.h"
#include "extract/paths.h"
#include "extract/payload.h"
#include "extract/text.h"

namespace quarry {
namespace {

// What one entry's extraction needs, for the whole loop.
struct Extraction {
  const ResourceView& view;
  OutputTree& output;
  DecompressFn decompress;
  ProgressDisplay& display;
  ResidentPages residentPages;
};

enum class EntryOutcome { Extracted, Failed, ContainerChanged };

// Bytes read from a container that another program cut short may be zeros: nothing read
// since is acted on.
bool containerChanged(const Extraction& run) {
  return run.view.file.shrank();
}

// An entry that fails may have read what a cut left behind: then it is the container's line.
EntryOutcome failed(Extraction& run, std::uint64_t index, std::string_view name,
                    const EntryFailure& failure) {
  if (!run.view.file.confirmWhole()) return EntryOutcome::ContainerChanged;
  printErrorLine(run.display, entryFailureLine(index, name, failure));
  return EntryOutcome::Failed;
}

// Decodes the entry's bytes and writes them to its file.
EntryOutcome writeEntry(Extraction& run, std::uint64_t index, const EntryRef& entry,
                        const OutputPath& target) {
  const std::string_view name(entry.name, static_cast<std::size_t>(entry.nameLength));
  const Payload payload = decodePayload(run.view, entry, run.decompress);
  if (!payload.stored) noteContainerRead(run.view, run.residentPages, entry.storedSize);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  if (payload.failure) return failed(run, index, name, *payload.failure);
  const std::optional<EntryFailure> written = writeWholeFile(run.output, target, payload);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  return written ? failed(run, index, name, *written) : EntryOutcome::Extracted;
}

// Extracts one entry; a failure has its line printed.
EntryOutcome extractEntry(Extraction& run, std::uint64_t index) {
  const EntryLookup found = entryAt(run.view, index);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  if (found.failure) return failed(run, index, {}, *found.failure);
  const EntryRef& entry = found.entry;
  const std::string_view name(entry.name, static_cast<std::size_t>(entry.nameLength));
  noteContainerRead(run.view, run.residentPages, entry.nameLength);  // its records and name
  OutputPath target;
  std::optional<EntryFailure> failure = outputPathFor(run.output.folder(), name, target);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  if (!failure) failure = ensureParentDirectories(run.output, target);
  if (failure) return failed(run, index, name, *failure);
  return writeEntry(run, index, entry, target);
}

// Extracts every entry in index order, redrawing the bar after each; counts the failures.
std::uint64_t extractAll(const ResourceView& view, OutputTree& output, DecompressFn decompress) {
  ProgressDisplay display = startProgressDisplay();
  Extraction run{view, output, decompress, display, {}};
  const std::uint64_t count = view.tables.entryCount;
  std::uint64_t failures = 0;
  for (std::uint64_t index = 0; index < count; ++index) {
    const EntryOutcome outcome = extractEntry(run, index);
    if (outcome == EntryOutcome::ContainerChanged) break;
    if (outcome == EntryOutcome::Failed) ++failures;
    updateProgress(display, progressPercent(index, count));
  }
  if (view.file.confirmWhole()) return failures;
  printErrorLine(display, CONTAINER_CHANGED);
  return failures + 1;
}

// The output folder as the platform's file calls take it.
PathString nativeFolder(const std::u16string& folder) {
#ifdef _WIN32
  return folder;
#else
  return encodeLossless(folder);
#endif
}

}  // namespace

int runExtraction(int argumentCount, const std::u16string* arguments) {
  std::string why;
  const DecompressFn decompress = bindDecompressor(why);
  if (decompress == nullptr) {
    std::cerr << NO_DECODER << std::endl;
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
  std::cout << countLine(view.tables.entryCount) << std::endl;
  std::uint64_t failures = 0;
  {
    OutputTree output(nativeFolder(outputFolder), view.file, loadedDecoderFile(decompress));
    failures = extractAll(view, output, decompress);
  }
  closeResourceView(view);
  return failures == 0 ? EXIT_ALL_EXTRACTED : EXIT_SOME_FAILED;
}

}  // namespace quarry
