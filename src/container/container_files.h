// Which containers a resources-file argument stands for: the file itself; every ".resources"
// file below a folder; on Windows, the files a wildcard in its last component matches (cmd
// passes wildcards as typed). Nothing here maps or reads a container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarry {

// One container of a run.
struct ContainerFile {
  std::u16string path;  // as the file calls take it: as typed, or joined below the folder
  std::string shown;    // as lines name it, UTF-8: as typed, or relative to the folder, with '/'
};

struct ContainerFiles {
  std::vector<ContainerFile> files;
  // Given as a folder or a wildcard: the run names each entry's container and counts them.
  bool several = false;
};

enum class FindProblem : std::uint8_t {
  NoContainerInFolder,  // the folder holds no .resources file
  NoWildcardMatch,      // the wildcard matches no file
  CannotReadFolder,     // osError, at where: a folder below that could not be read
};

struct FindFailure {
  FindProblem problem = FindProblem::NoContainerInFolder;
  int osError = 0;
  std::u16string where;  // the folder that could not be read, or the argument
};

// The containers argument stands for, in the order the run takes them. A path that is not a
// folder (and, on Windows, has no wildcard) is one container, whatever it is: opening it says
// what is wrong. Below a folder, links are not followed.
std::optional<FindFailure> findContainerFiles(const std::u16string& argument, ContainerFiles& out);

// True when path names a regular file (a link to one included).
bool isRegularFile(const std::u16string& path);

// ---- The portable rules, shared by the platforms' walks ----

// True for a name ending in ".resources", ASCII letters in any case.
bool isContainerName(std::u16string_view name);

// Sorts files by the byte order of their shown paths (UTF-8, '/' between folders), the order a
// game lays its patches over their base in.
void sortContainerFiles(std::vector<ContainerFile>& files);

// The index of the last component's first unit when it holds '*' or '?'; npos otherwise.
std::size_t wildcardStart(std::u16string_view argument);

// True when name matches the wildcard as cmd reads one: '*' any run of units, '?' one unit,
// ASCII letters in any case. Linear in wildcard × name.
bool matchesWildcard(std::u16string_view wildcard, std::u16string_view name);

}  // namespace quarry
