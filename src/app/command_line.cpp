#include "app/command_line.h"

#include <string_view>

#include "base/unicode.h"

namespace quarry {
namespace {

// What the arguments said before any of it was judged.
struct Scan {
  bool list = false;
  bool test = false;
  bool json = false;
  bool keepExisting = false;
  bool help = false;
  bool version = false;
  bool anyOption = false;
  std::string firstUnknown;
  std::string firstMode;  // the first of --list and --test, to name in a conflict
  std::vector<std::u16string> operands;
};

bool* flagFor(std::string_view option, Scan& scan) {
  if (option == "--list") return &scan.list;
  if (option == "--test") return &scan.test;
  if (option == "--json") return &scan.json;
  if (option == "--keep-existing") return &scan.keepExisting;
  if (option == "--help") return &scan.help;
  if (option == "--version") return &scan.version;
  return nullptr;
}

void noteOption(const std::u16string& argument, Scan& scan) {
  const std::string option = encodeLossless(argument);
  scan.anyOption = true;
  bool* flag = flagFor(option, scan);
  if (flag == nullptr) {
    if (scan.firstUnknown.empty()) scan.firstUnknown = option;
    return;
  }
  *flag = true;
  if ((option == "--list" || option == "--test") && scan.firstMode.empty()) {
    scan.firstMode = option;
  }
}

Scan scanArguments(int count, const std::u16string* args) {
  Scan scan;
  bool optionsEnded = false;
  for (int k = 1; k < count; ++k) {
    const std::u16string& argument = args[k];
    if (!optionsEnded && argument == u"--") {
      optionsEnded = true;
      scan.anyOption = true;
    } else if (!optionsEnded && argument.size() > 2 && argument.starts_with(u"--")) {
      noteOption(argument, scan);
    } else {
      scan.operands.push_back(argument);
    }
  }
  return scan;
}

UsageError usageError(UsageProblem problem, std::string option = {}, std::string other = {}) {
  return UsageError{problem, std::move(option), std::move(other)};
}

// The options judged together, before the operands are counted.
UsageError optionError(const Scan& scan) {
  if (!scan.firstUnknown.empty()) return usageError(UsageProblem::UnknownOption, scan.firstUnknown);
  if (scan.list && scan.test) {
    const std::string later = scan.firstMode == "--list" ? "--test" : "--list";
    return usageError(UsageProblem::OptionsConflict, later, scan.firstMode);
  }
  if (scan.json && !scan.list) return usageError(UsageProblem::OptionNeedsMode, "--json", "--list");
  if (scan.keepExisting && (scan.list || scan.test)) {
    return usageError(UsageProblem::OptionsConflict, "--keep-existing", scan.firstMode);
  }
  return {};
}

// Takes the operands in order: the resources file, the output folder when extracting, then
// the patterns.
void takeOperands(const Scan& scan, CommandLine& line) {
  const std::size_t needed = line.mode == Mode::Extract ? 2 : 1;
  if (scan.operands.size() < needed) {
    line.error.problem =
        scan.operands.empty() ? UsageProblem::MissingResources : UsageProblem::MissingOutput;
    return;
  }
  line.resources = scan.operands[0];
  if (line.mode == Mode::Extract) line.output = scan.operands[1];
  for (std::size_t k = needed; k < scan.operands.size(); ++k) {
    line.patterns.push_back(encodeLossless(scan.operands[k]));
  }
}

}  // namespace

CommandLine parseCommandLine(int count, const std::u16string* args) {
  const Scan scan = scanArguments(count, args);
  CommandLine line;
  line.anyOption = scan.anyOption;
  if (scan.help || scan.version) {
    line.mode = scan.help ? Mode::Help : Mode::Version;
    return line;
  }
  line.error = optionError(scan);
  if (!line.usable()) return line;
  line.mode = scan.list ? Mode::List : scan.test ? Mode::Test : Mode::Extract;
  line.json = scan.json;
  line.keepExisting = scan.keepExisting;
  line.plainRun = count == 3 && !line.anyOption;
  takeOperands(scan, line);
  return line;
}

}  // namespace quarry
