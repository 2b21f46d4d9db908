#include "app/run.h"

#include <iostream>

#include "app/messages.h"
#include "base/unicode.h"
#include "console/run_display.h"
#include "container/view.h"
#include "decoder/decoder.h"
#include "extract/output_tree.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {
namespace {

// What one entry's extraction needs, for the whole loop.
struct Extraction {
  ResourceView& view;
  OutputTree& output;
  const Decompressor& decompress;
  Console& console;
  ProgressDisplay display;
};

enum class EntryOutcome { Extracted, Failed, ContainerChanged, DecoderStopped };

// Bytes read from a container that another program cut short may be zeros: nothing read
// since is acted on.
bool containerChanged(const Extraction& run) {
  return run.view.file.shrank();
}

// An entry that fails may have read what a cut left behind: then it is the container's line.
EntryOutcome failed(Extraction& run, std::uint64_t index, std::string_view name,
                    const EntryFailure& failure) {
  if (!run.view.file.confirmWhole()) return EntryOutcome::ContainerChanged;
  printErrorLine(run.console, run.display, std::cerr, entryFailureLine(index, name, failure));
  return EntryOutcome::Failed;
}

// Decodes the entry's bytes and writes them to its file.
EntryOutcome writeEntry(Extraction& run, std::uint64_t index, const EntryRef& entry,
                        const OutputPath& target) {
  Payload payload;
  std::optional<EntryFailure> failure = decodePayload(run.view, entry, run.decompress, payload);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  if (failure && failure->problem == EntryProblem::DecoderFault) {
    printErrorLine(run.console, run.display, std::cerr, entryFailureLine(index, entry.name, *failure));
    return EntryOutcome::DecoderStopped;
  }
  if (!failure) failure = writeWholeFile(run.output, target, payload);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  return failure ? failed(run, index, entry.name, *failure) : EntryOutcome::Extracted;
}

// Extracts one entry; a failure has its line printed.
EntryOutcome extractEntry(Extraction& run, std::uint64_t index) {
  EntryRef entry;
  std::optional<EntryFailure> failure = entryAt(run.view, index, entry);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  OutputPath target;
  if (!failure) failure = outputPathFor(run.output.folder(), entry.name, target);
  if (containerChanged(run)) return EntryOutcome::ContainerChanged;
  if (!failure) failure = ensureParentDirectories(run.output, target);
  if (failure) return failed(run, index, entry.name, *failure);
  return writeEntry(run, index, entry, target);
}

// Extracts every entry in index order, redrawing the bar after each; counts the failures.
// A decoder library that did not come back ends the loop at once (decoderStopped).
std::uint64_t extractAll(Extraction& run, bool& decoderStopped) {
  const std::uint64_t count = run.view.tables.entryCount;
  std::uint64_t failures = 0;
  for (std::uint64_t index = 0; index < count; ++index) {
    const EntryOutcome outcome = extractEntry(run, index);
    decoderStopped = outcome == EntryOutcome::DecoderStopped;
    if (decoderStopped) return failures + 1;
    if (outcome == EntryOutcome::ContainerChanged) break;
    if (outcome == EntryOutcome::Failed) ++failures;
    updateProgress(run.console, run.display, progressPercent(index, count));
  }
  if (run.view.file.confirmWhole()) return failures;
  printErrorLine(run.console, run.display, std::cerr, CONTAINER_CHANGED);
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

int runExtraction(int argumentCount, const std::u16string* arguments, Console& console) {
  const DecoderBinding decoder = bindDecompressor();
  if (!decoder.decompress) {
    std::cerr << NO_DECODER << std::endl;
    const std::string why = decoderProblemLine(decoder);
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
  if (const auto failure = openResourceView(resourcesPath, view)) {
    std::cerr << CANNOT_OPEN << std::endl << openFailureLine(resourcesPath, *failure) << std::endl;
    return EXIT_CANNOT_START;
  }
  std::cout << countLine(view.tables.entryCount) << std::endl;
  std::uint64_t failures = 0;
  bool decoderStopped = false;
  {
    OutputTree output(nativeFolder(outputFolder), view.file, decoder.file);
    Extraction run{view, output, decoder.decompress, console, startProgressDisplay(console)};
    failures = extractAll(run, decoderStopped);
  }
  closeResourceView(view);
  if (decoderStopped) return EXIT_NO_DECODER;
  return failures == 0 ? EXIT_ALL_EXTRACTED : EXIT_SOME_FAILED;
}

}  // namespace quarry
