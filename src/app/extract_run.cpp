// Extracting the selected entries (or, for --test, reading and decoding them with nothing
// written): the per-entry loop, its stop and its summary.
#include <iostream>

#include "app/entry_sink.h"
#include "app/messages.h"
#include "app/run.h"
#include "app/runs.h"
#include "app/selection.h"
#include "base/stop.h"
#include "base/unicode.h"
#include "console/run_display.h"
#include "extract/file_system.h"
#include "extract/output_tree.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {
namespace {

// What one entry's extraction needs, for the whole loop.
struct Extraction {
  Extraction(const CommandLine& command, RunContainers& all, EntrySink& entries,
             DecoderOnDemand& library, Console& screen, RunKind kind)
      : line(command),
        containers(all),
        sink(entries),
        decoder(library),
        console(screen),
        display(startProgressDisplay(screen, PROGRESS_LABEL)) {
    tally.kind = kind;
  }

  const CommandLine& line;
  RunContainers& containers;
  RunContainer* container = nullptr;  // the one whose entries are at hand
  EntrySink& sink;                    // where the entries go: their files, or nowhere when testing
  DecoderOnDemand& decoder;
  Console& console;
  ProgressDisplay display;
  RunTally tally;
  std::uint64_t taken = 0;  // entries taken up so far, over every container: the bar's place
  // The entry the stop cut short, and whether its unfinished file was removed.
  EntryPlace stoppedAt;
  bool stoppedWriting = false;
  std::optional<EntryFailure> fault;       // the decoder's, when it stopped the run
  StreamRead streamRead = StreamRead::No;  // whether the entry at hand was decoded
};

void printLine(Extraction& run, std::string_view line) {
  printErrorLine(run.console, run.display, std::cerr, line);
}

// How the entry's lines name it: always by its name in a run started with an option or over
// several containers, and then with its container too.
EntryPlace placeOf(const Extraction& run, std::uint64_t index, std::string_view name) {
  const bool named = !run.line.plainRun || run.containers.several;
  return EntryPlace{index, name, run.containers.shownName(*run.container), named};
}

std::optional<EntryFailure> decodeEntry(Extraction& run, const EntryRef& entry, Payload& payload) {
  if (storageOf(entry) != Storage::Stored && !run.decoder.bindIfNeeded()) {
    requestStop(StopCause::NoDecoder);
    return DecodeFailure(DecodeProblem::DecompressionFailed);
  }
  if (storageOf(entry) != Storage::Stored) run.streamRead = StreamRead::Yes;
  return decodePayload(run.container->view, entry, run.decoder.decompress(), payload);
}

// Decodes the entry's bytes and puts them where the entry goes (unless its file is kept).
std::optional<EntryFailure> writeEntry(Extraction& run, const EntryRef& entry,
                                       const OutputPath& target) {
  const ExistingFiles existing =
      run.line.keepExisting ? ExistingFiles::Keep : ExistingFiles::Replace;
  if (existing == ExistingFiles::Keep && run.sink.standsAlready(target)) {
    ++run.tally.kept;
    return std::nullopt;
  }
  Payload payload;
  std::optional<EntryFailure> failure = decodeEntry(run, entry, payload);
  if (failure || stopRequested()) return failure;
  WriteOutcome outcome = WriteOutcome::Written;
  failure = run.sink.put(target, payload, existing, outcome);
  run.stoppedWriting = failure.has_value() && stopRequested();
  if (failure) return failure;
  ++(outcome == WriteOutcome::Kept ? run.tally.kept : run.tally.done);
  if (outcome == WriteOutcome::Written) run.tally.bytes += entry.fullSize;
  return std::nullopt;
}

// The entry's way, step by step; bytes read from a container cut short may be zeros, so once
// the stop is raised nothing read is acted on.
std::optional<EntryFailure> extractEntry(Extraction& run, const EntryRef& entry) {
  OutputPath target;
  std::optional<EntryFailure> failure = outputPathFor(run.sink.folder(), entry.name, target);
  if (!failure && !stopRequested()) failure = run.sink.prepare(target);
  if (!failure && !stopRequested()) failure = writeEntry(run, entry, target);
  return failure;
}

// A failure is the entry's own line, unless it is the one that stops the run: a fault in the
// decoder, or what a container cut short (found here at the latest) left to read.
void reportFailure(Extraction& run, const EntryPlace& place, const EntryFailure& failure) {
  const auto* decoding = std::get_if<DecodeFailure>(&failure);
  if (decoding != nullptr && decoding->problem == DecodeProblem::DecoderFault) {
    run.fault = failure;
    requestStop(StopCause::DecoderFault);
  }
  run.container->view.file.confirmWhole();
  if (stopRequested()) return;
  printLine(run, entryFailureLine(place, failure));
  ++run.tally.failed;
}

// Extracts every selected entry of the container at hand in index order, redrawing the bar
// after each, until the end or a stop.
void extractAll(Extraction& run, const Selection& selection) {
  ResourceView& view = run.container->view;
  for (std::uint64_t k = 0; k < selection.count && !stopRequested(); ++k) {
    const std::uint64_t index = selection.indexAt(k);
    EntryRef entry;
    run.streamRead = StreamRead::No;
    std::optional<EntryFailure> failure = entryAt(view.tables, index, entry);
    if (!failure && !stopRequested()) failure = extractEntry(run, entry);
    run.stoppedAt = placeOf(run, index, entry.name);
    if (failure) reportFailure(run, run.stoppedAt, *failure);
    noteEntryDone(view, index, entry, run.streamRead);
    updateProgress(run.console, run.display, progressPercent(run.taken++, run.tally.selected));
  }
  view.file.confirmWhole();
  view.file.letPagesGo();  // the next container's pages take their place
}

// The bar's line ended, once, so that what follows starts on a line of its own.
void endBarLine(Extraction& run) {
  if (run.display.drawnPercent >= 0) std::cout << std::endl;
  run.display.drawnPercent = -1;
}

// What killed runs had left in the folders this one went through, and it removed.
void reportStaleTemporaries(Extraction& run) {
  const std::uint64_t removed = run.sink.staleTemporariesRemoved();
  if (removed == 0) return;
  endBarLine(run);
  std::cout << staleTemporariesLine(removed) << std::endl;
}

// Says why the run stopped, once, and answers its exit status.
int finishStopped(Extraction& run) {
  endBarLine(run);
  switch (stopCause()) {
    case StopCause::None:
      break;
    case StopCause::ContainerCutShort:
      return finishCutShort();
    case StopCause::OutputFolderUnusable:
      if (const auto failure = run.sink.rootFailure()) {
        std::cerr << outputFolderLine(*failure) << std::endl;
      }
      return EXIT_CANNOT_START;
    case StopCause::DecoderFault:
      std::cerr << entryFailureLine(run.stoppedAt, *run.fault) << std::endl;
      return EXIT_NO_DECODER;
    case StopCause::NoDecoder:
      return reportNoDecoder(run.decoder.binding());
    case StopCause::Interrupted:
      return finishInterrupted(run.stoppedWriting ? &run.stoppedAt : nullptr);
  }
  return EXIT_SOME_FAILED;
}

// Every container's selection, counted for the bar and the summary. An extraction takes up
// only the entries no later container replaces; a test reads every one.
std::vector<Selection> selectAll(Extraction& run, PatternSet& patterns) {
  const bool extracting = run.tally.kind == RunKind::Extracted;
  if (extracting) markReplaced(run.containers, patterns);
  std::vector<Selection> selections;
  for (RunContainer& container : run.containers.list) {
    selections.push_back(selectEntries(container, patterns, extracting));
    run.tally.selected += selections.back().count;
  }
  if (extracting) run.tally.replaced = run.containers.replacedCount();
  if (run.containers.several) run.tally.containers = run.containers.list.size();
  return selections;
}

int loop(Extraction& run, RunClock::time_point started) {
  PatternSet patterns(run.line.patterns);
  const std::vector<Selection> selections = selectAll(run, patterns);
  for (std::size_t k = 0; k < selections.size() && !stopRequested(); ++k) {
    run.container = &run.containers.list[k];
    extractAll(run, selections[k]);
  }
  reportStaleTemporaries(run);
  if (stopRequested()) return finishStopped(run);
  if (!run.line.plainRun) {
    endBarLine(run);
    return finishWithSummary(run.tally, patterns, started, std::cout);
  }
  return run.tally.failed == 0 ? EXIT_OK : EXIT_SOME_FAILED;
}

}  // namespace

int extractEntries(const CommandLine& line, RunContainers& containers, DecoderOnDemand& decoder,
                   Console& console, RunClock::time_point started) {
  if (line.mode == Mode::Test) {
    TestSink nowhere;
    Extraction run(line, containers, nowhere, decoder, console, RunKind::Tested);
    return loop(run, started);
  }
  std::unique_ptr<FileSystem> disk = makeDiskFileSystem();
  // The library is protected whether it is bound yet or will be when first needed.
  const std::string library =
      decoder.binding().decompress ? decoder.binding().file : chooseDecoder().file;
  std::vector<FileIdentity> identities;
  for (const RunContainer& container : containers.list) {
    if (const auto identity = container.view.file.identity()) identities.push_back(*identity);
  }
  OutputTree output(*disk, nativePath(line.output), filesToProtect(identities, library));
  TreeSink files(output);
  Extraction run(line, containers, files, decoder, console, RunKind::Extracted);
  return loop(run, started);
}

}  // namespace quarry
