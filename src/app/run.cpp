#include "app/run.h"

#include <iostream>

#include "app/containers.h"
#include "app/messages.h"
#include "app/runs.h"
#include "base/stop.h"

namespace quarry {
namespace {

// A line without options that is not the two-argument run: as it always was, the decoder
// library is asked for first, then the usage.
int plainUsage() {
  const DecoderOnDemand decoder(true);
  if (!decoder.binding().decompress) return reportNoDecoder(decoder.binding());
  std::cerr << USAGE << std::endl << std::endl;
  return EXIT_CANNOT_START;
}

int optionUsage(const UsageError& error) {
  std::cerr << USAGE_LINE << std::endl << usageProblemLine(error) << std::endl;
  return EXIT_CANNOT_START;
}

int printVersion() {
  std::cout << versionLine() << std::endl;
  const DecoderChoice choice = chooseDecoder();
  std::cout << decoderChoiceLine(choice.file, choice.kind) << std::endl;
  return EXIT_OK;
}

int runMode(const CommandLine& line, Console& console) {
  const RunClock::time_point started = RunClock::now();
  DecoderOnDemand decoder(line.plainRun);
  if (line.plainRun && !decoder.bindIfNeeded()) return reportNoDecoder(decoder.binding());
  // Several containers typed one after another put the second where the folder belongs.
  if (line.mode == Mode::Extract && isAContainerFile(line.output)) {
    std::cerr << outputIsAContainerLine(line.output) << std::endl;
    return EXIT_CANNOT_START;
  }
  RunContainers containers;
  if (!openRunContainers(line.resources, containers)) return EXIT_CANNOT_START;
  if (line.mode == Mode::List) return listEntries(line, containers, started);
  if (line.mode != Mode::Test) {
    std::cout << (containers.several ? countLine(containers.entryCount(), containers.list.size())
                                     : countLine(containers.entryCount()))
              << std::endl;
  }
  return extractEntries(line, containers, decoder, console, started);
}

}  // namespace

DecoderOnDemand::DecoderOnDemand(bool bindNow) {
  if (bindNow) bindIfNeeded();
}

bool DecoderOnDemand::bindIfNeeded() {
  if (!tried_) binding_ = bindDecompressor();
  tried_ = true;
  return static_cast<bool>(binding_.decompress);
}

int reportNoDecoder(const DecoderBinding& binding) {
  std::cerr << noDecoderLine() << std::endl;
  const std::string why = decoderProblemLine(binding);
  if (!why.empty()) std::cerr << why << std::endl;
  std::cerr << std::endl;
  return EXIT_NO_DECODER;
}

int runExtraction(int argumentCount, const std::u16string* arguments, Console& console) {
  clearStop();
  const CommandLine line = parseCommandLine(argumentCount, arguments);
  if (line.mode == Mode::Help) {
    std::cout << helpText() << std::flush;
    return EXIT_OK;
  }
  if (line.mode == Mode::Version) return printVersion();
  if (!line.usable()) {
    return line.anyOption ? optionUsage(line.error) : plainUsage();
  }
  return runMode(line, console);
}

}  // namespace quarry
