// The command line as the modder types it: the mode, its options, its operands, or what is
// wrong with it. Parsing touches nothing outside the arguments.
#pragma once

#include <string>
#include <vector>

namespace quarry {

enum class Mode { Extract, List, Test, Help, Version };

// Why a command line cannot be run; the run prints the usage line and the problem's line.
enum class UsageProblem {
  None,
  UnknownOption,     // option: what was typed
  OptionNeedsMode,   // option needs the mode named by other (--json without --list)
  OptionsConflict,   // option cannot stand with other (--keep-existing with --list)
  MissingResources,  // no resources file
  MissingOutput,     // extraction without an output folder
};

struct UsageError {
  UsageProblem problem = UsageProblem::None;
  std::string option;  // the option concerned, as typed, in UTF-8 (lossless)
  std::string other;   // the option it clashes with or needs
};

struct CommandLine {
  Mode mode = Mode::Extract;
  bool json = false;
  bool keepExisting = false;
  std::u16string resources;           // exactly as typed
  std::u16string output;              // exactly as typed; empty unless extracting
  std::vector<std::string> patterns;  // UTF-8; entry names are matched as bytes
  // Some argument is an option or the lone "--": a line that cannot be run then gets the
  // options' usage, not the plain run's.
  bool anyOption = false;
  // Exactly two arguments and no option: the run whose streams stay as they always were.
  bool plainRun = false;
  UsageError error;  // problem is None when the line can be run

  bool usable() const { return error.problem == UsageProblem::None; }
};

// Options begin with "--" and may stand anywhere before a lone "--", after which every
// argument is an operand. --help and --version win over everything else. args[0] is the
// program.
CommandLine parseCommandLine(int count, const std::u16string* args);

}  // namespace quarry
