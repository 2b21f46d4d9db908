#include "app/run.h"

#include <iostream>

#include "app/interrupts.h"
#include "app/messages.h"
#include "base/stop.h"
#include "base/unicode.h"
#include "console/run_display.h"
#include "container/view.h"
#include "decoder/decoder.h"
#include "extract/file_system.h"
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
  // What the loop has to say at its end.
  struct Tally {
    std::uint64_t failures = 0;
    // The entry the stop cut short, and whether its unfinished file was removed.
    std::uint64_t stoppedAt = 0;
    std::string_view stoppedName;
    bool stoppedWriting = false;
    std::optional<EntryFailure> fault;  // the decoder's, when it stopped the run
  } tally;
};

void printLine(Extraction& run, std::string_view line) {
  printErrorLine(run.console, run.display, std::cerr, line);
}

// Decodes the entry's bytes and writes them to its file.
std::optional<EntryFailure> writeEntry(Extraction& run, const EntryRef& entry,
                                       const OutputPath& target) {
  Payload payload;
  std::optional<EntryFailure> failure = decodePayload(run.view, entry, run.decompress, payload);
  if (failure || stopRequested()) return failure;
  WriteOutcome outcome = WriteOutcome::Written;
  failure = writeWholeFile(run.output, target, payload, ExistingFiles::Replace, outcome);
  run.tally.stoppedWriting = failure.has_value() && stopRequested();
  return failure;
}

// The entry's way, step by step; bytes read from a container cut short may be zeros, so once
// the stop is raised nothing read is acted on.
std::optional<EntryFailure> extractEntry(Extraction& run, const EntryRef& entry) {
  OutputPath target;
  std::optional<EntryFailure> failure = outputPathFor(run.output.folder(), entry.name, target);
  if (!failure && !stopRequested()) failure = ensureParentDirectories(run.output, target);
  if (!failure && !stopRequested()) failure = writeEntry(run, entry, target);
  return failure;
}

// A failure is the entry's own line, unless it is the one that stops the run: a fault in the
// decoder, or what a container cut short (found here at the latest) left to read.
void reportFailure(Extraction& run, std::uint64_t index, std::string_view name,
                   const EntryFailure& failure) {
  if (failure.problem == EntryProblem::DecoderFault) {
    run.tally.fault = failure;
    requestStop(StopCause::DecoderFault);
  }
  run.view.file.confirmWhole();
  if (stopRequested()) return;
  printLine(run, entryFailureLine(index, name, failure));
  ++run.tally.failures;
}

// Extracts every entry in index order, redrawing the bar after each, until the end or a stop.
void extractAll(Extraction& run) {
  const std::uint64_t count = run.view.tables.entryCount;
  for (std::uint64_t index = 0; index < count && !stopRequested(); ++index) {
    EntryRef entry;
    std::optional<EntryFailure> failure = entryAt(run.view, index, entry);
    if (!failure && !stopRequested()) failure = extractEntry(run, entry);
    if (failure) reportFailure(run, index, entry.name, *failure);
    run.tally.stoppedAt = index;
    run.tally.stoppedName = entry.name;
    updateProgress(run.console, run.display, progressPercent(index, count));
  }
  run.view.file.confirmWhole();
}

// Says why the run stopped, once, and answers its exit status.
int finishStopped(Extraction& run) {
  switch (stopCause()) {
    case StopCause::None:
      break;
    case StopCause::ContainerCutShort:
      printLine(run, CONTAINER_CHANGED);
      return EXIT_SOME_FAILED;
    case StopCause::OutputFolderUnusable:
      printLine(run, outputFolderLine(*run.output.rootFailure()));
      return EXIT_CANNOT_START;
    case StopCause::DecoderFault:
      printLine(run,
                entryFailureLine(run.tally.stoppedAt, run.tally.stoppedName, *run.tally.fault));
      return EXIT_NO_DECODER;
    case StopCause::Interrupted: {
      const char* interrupt = interruptName(stopSignal());
      printLine(run,
                run.tally.stoppedWriting
                    ? interruptedEntryLine(run.tally.stoppedAt, run.tally.stoppedName, interrupt)
                    : interruptedLine(interrupt));
      return interruptedStatus(stopSignal());
    }
  }
  return run.tally.failures == 0 ? EXIT_ALL_EXTRACTED : EXIT_SOME_FAILED;
}

// The output folder as the platform's file calls take it.
PathString nativeFolder(const std::u16string& folder) {
#ifdef _WIN32
  return folder;
#else
  return encodeLossless(folder);
#endif
}

int extractContainer(ResourceView& view, const std::u16string& outputFolder,
                     const DecoderBinding& decoder, Console& console) {
  std::unique_ptr<FileSystem> disk = makeDiskFileSystem(view.file);
  OutputTree output(*disk, nativeFolder(outputFolder), filesToProtect(view.file, decoder.file));
  Extraction run{view, output, decoder.decompress, console, startProgressDisplay(console), {}};
  extractAll(run);
  if (stopRequested()) return finishStopped(run);
  return run.tally.failures == 0 ? EXIT_ALL_EXTRACTED : EXIT_SOME_FAILED;
}

}  // namespace

int runExtraction(int argumentCount, const std::u16string* arguments, Console& console) {
  clearStop();
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
  const int status = extractContainer(view, outputFolder, decoder, console);
  closeResourceView(view);
  return status;
}

}  // namespace quarry
