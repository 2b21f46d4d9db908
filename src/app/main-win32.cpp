// Process entry on Windows: the arguments arrive as UTF-16 already.
#include <exception>
#include <iostream>
#include <vector>

#include "app/interrupts.h"
#include "app/messages.h"
#include "app/run.h"

int wmain(int argc, wchar_t** argv) {
  quarry::stopOnInterrupts();
  try {
    std::vector<std::u16string> arguments;
    for (int k = 0; k < argc; ++k) arguments.emplace_back(reinterpret_cast<char16_t*>(argv[k]));
    const auto console = quarry::makeProcessConsole();
    return quarry::runExtraction(argc, arguments.data(), *console);
  } catch (const std::exception& error) {
    std::cerr << quarry::unexpectedStopLine(error.what()) << std::endl;
    return quarry::EXIT_CANNOT_START;
  }
}
