// End-to-end set-up: a copy of the program in a folder of its own (with or without the test
// decoder beside it), a container written into the same sandbox, and a run of the copy.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "support/container_writer.h"
#include "support/process_runner.h"
#include "support/temp_folder.h"

namespace quarry::testing {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr int STATUS_NO_DECODER = -1;
constexpr char PROGRAM_FILE[] = "Quarry.exe";
#else
constexpr int STATUS_NO_DECODER = 255;
constexpr char PROGRAM_FILE[] = "quarry";
#endif

constexpr char USAGE_TEXT[] = "Usage: Quarry.exe path_to_resources_file output_folder\n\n";
constexpr char NO_DECODER_TEXT[] =
    "Please copy oo2core_8_win64.dll from the game's folder into Quarry folder\n";
constexpr char OPEN_FAILED_TEXT[] = "Unable to open resources file :(\n";

// A path built in by CMake, as the running platform spells it.
inline fs::path builtPath(const char* path) {
#ifdef _WIN32
  if (path[0] == '/') return fs::path(std::string("Z:") + path).make_preferred();
#endif
  return fs::path(path);
}

// The decoders that tests without the call log run with: the logging test decoder (a native
// library), and the bare Windows DLL where this build makes it.
struct DecoderBuild {
  const char* name;
  const char* file;
};

// Test names in ctest show the case, not its bytes.
inline void PrintTo(const DecoderBuild& c, std::ostream* out) {
  *out << c.name;
}

inline const DecoderBuild DECODERS[] = {
    {"LoggingDecoder", QUARRY_TEST_DECODER},
#ifdef QUARRY_BARE_DECODER
    {"BareWindowsDll", QUARRY_BARE_DECODER},
#endif
};

class Sandbox {
 public:
  explicit Sandbox(bool withDecoder = true)
      : Sandbox(withDecoder ? QUARRY_TEST_DECODER : nullptr) {}

  // With the decoder library built at decoderFile (none when null) beside the program.
  explicit Sandbox(const char* decoderFile) {
    fs::create_directories(programFolder());
    fs::copy_file(builtPath(QUARRY_PROGRAM), program());
    if (decoderFile != nullptr) {
      fs::copy_file(builtPath(decoderFile), programFolder() / "oo2core_8_win64.dll");
    }
  }

  fs::path root() const { return folder_.path(); }
  fs::path programFolder() const { return folder_ / "bin"; }
  fs::path program() const { return programFolder() / PROGRAM_FILE; }
  fs::path output() const { return folder_ / "out"; }
  fs::path container() const { return folder_ / "test.resources"; }

  void writeContainer(const std::vector<ContainerEntry>& entries,
                      const ContainerLayout& layout = {}) const {
    writeBytes(container(), buildContainer(entries, layout).bytes);
  }

  ProcessResult run(const std::vector<std::string>& arguments,
                    const ProcessOptions& options = {}) const {
    return runProcess(program().string(), arguments, options);
  }

  // The usual run: the container into the output folder.
  ProcessResult extract(const ProcessOptions& options = {}) const {
    return run({container().string(), output().string()}, options);
  }

 private:
  TempFolder folder_;
};

// A program's output, line by line, without the line ends.
inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

inline bool startsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

// A tree of files: each path relative to its root, with slashes, and its bytes.
using Tree = std::map<std::string, Bytes>;

// Every regular file below root, by its path relative to root with slashes, and its bytes.
inline std::map<std::string, Bytes> treeOf(const fs::path& root) {
  std::map<std::string, Bytes> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file())
      tree[fs::relative(item.path(), root).generic_string()] = readBytes(item.path());
  }
  return tree;
}

// The line of a run that the decoder library stopped at entry index, as the program words it:
// whole for a call that stops the run; for a crash up to the place's digits, which are the
// build's.
inline std::string decoderStopLine(std::uint64_t index, std::string_view name,
                                   const DecoderFault& fault) {
  DecodeFailure failure(DecodeProblem::DecoderFault);
  failure.fault = fault;
  const std::string line = entryFailureLine(index, name, failure);
  if (!fault.call.empty()) return line + "\n";
  return line.substr(0, line.rfind("0x") + 2);
}

}  // namespace quarry::testing
