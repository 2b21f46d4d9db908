// Process entry on POSIX: the arguments arrive as bytes and are widened without loss, so a
// name that is not UTF-8 still reaches the same file.
#include <csignal>
#include <exception>
#include <iostream>
#include <vector>

#include "app/interrupts.h"
#include "app/messages.h"
#include "app/run.h"
#include "base/unicode.h"

int main(int argc, char** argv) {
  // A write past the file-size limit, or to a closed pipe, is then an error like any other:
  // that entry fails with its line, and a closed standard stream never stops the extraction.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  quarry::stopOnInterrupts();
  try {
    std::vector<std::u16string> arguments;
    for (int k = 0; k < argc; ++k) arguments.push_back(quarry::decodeLossless(argv[k]));
    const auto console = quarry::makeProcessConsole();
    return quarry::runExtraction(argc, arguments.data(), *console);
  } catch (const std::exception& error) {
    std::cerr << quarry::unexpectedStopLine(error.what()) << std::endl;
    return quarry::EXIT_CANNOT_START;
  }
}
