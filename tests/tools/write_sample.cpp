// Writes resources containers with the test writer, for the demo, the fuzzer's seed corpus
// and the benchmark:
//   quarry_sample demo FILE                 a small container of stored and compressed entries
//   quarry_sample seeds FOLDER              a handful of varied containers, one file each
//   quarry_sample pack FOLDER FILE [N]      every file below FOLDER; every Nth one compressed
//   quarry_sample pack-order FOLDER ORDER FILE  the files ORDER lists (relative to FOLDER, one
//                                           a line), stored, in that order
//   quarry_sample many FILE N [FIRST]       N empty stored entries in 100 folders: a long run;
//                                           numbered from FIRST (0), so containers can overlap
//   quarry_sample largest FILE              prints the largest full size of FILE's entries
//   quarry_sample failing FILE              the demo's entries, #1 and #3 of them unreadable
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "container/view.h"
#include "support/container_writer.h"

namespace fs = std::filesystem;
using namespace quarry::testing;

namespace {

Bytes repeated(std::string_view text, std::size_t times) {
  Bytes bytes;
  for (std::size_t k = 0; k < times; ++k) bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

std::vector<ContainerEntry> demoEntries() {
  return {storedEntry("readme.txt", textBytes("This container was written by Quarry's tests.\n")),
          compressedEntry("textures/stone/wall.txt", repeated("stone wall texel row\n", 200)),
          compressedEntry("textures/stone/floor.txt", repeated("floor tile ", 500), true),
          storedEntry("sounds/ambient/wind.raw", repeated("\x01\x02\x03\x04", 64)),
          compressedEntry("scripts/main.lua", repeated("print('hello from the test codec')\n", 40)),
          storedEntry("empty.dat", {})};
}

// Entry #1 names a string past the table; entry #3 climbs out of the output folder.
std::vector<ContainerEntry> failingEntries() {
  std::vector<ContainerEntry> entries = demoEntries();
  entries[1].nameIndex = 1000;
  entries[3].name = "../escaped.raw";
  return entries;
}

void writeSeeds(const fs::path& folder) {
  fs::create_directories(folder);
  writeBytes(folder / "demo", buildContainer(demoEntries()).bytes);
  writeBytes(folder / "empty", buildContainer({}).bytes);
  const ContainerLayout shuffled{
      .indexWordCount = 3,
      .order = {Region::Data, Region::Entries, Region::Strings, Region::Index},
      .gap = 5,
      .shareNames = false,
      .unusedStrings = {"unused"}};
  writeBytes(folder / "shuffled", buildContainer(demoEntries(), shuffled).bytes);
  std::vector<ContainerEntry> damaged = demoEntries();
  damaged[1].nameIndex = 77;
  damaged[2].storedSize = 1ull << 40;
  writeBytes(folder / "damaged", buildContainer(damaged).bytes);
}

int pack(const fs::path& folder, const fs::path& file, int compressEvery) {
  std::vector<fs::path> files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (item.is_regular_file()) files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<ContainerEntry> entries;
  for (std::size_t k = 0; k < files.size(); ++k) {
    const std::string name = fs::relative(files[k], folder).generic_string();
    const bool compress = compressEvery > 0 && k % compressEvery == 0;
    entries.push_back(compress ? compressedEntry(name, readBytes(files[k]))
                               : storedEntry(name, readBytes(files[k])));
  }
  writeBytes(file, buildContainer(entries).bytes);
  std::cout << "Packed " << entries.size() << " files into " << file.string() << "\n";
  return 0;
}

int packInOrder(const fs::path& folder, const fs::path& order, const fs::path& file) {
  std::ifstream names(order);
  std::vector<ContainerEntry> entries;
  for (std::string name; std::getline(names, name);) {
    entries.push_back(storedEntry(name, readBytes(folder / name)));
  }
  writeBytes(file, buildContainer(entries).bytes);
  std::cout << "Packed " << entries.size() << " files into " << file.string() << "\n";
  return 0;
}

int writeMany(const fs::path& file, std::size_t count, std::size_t first) {
  std::vector<ContainerEntry> entries;
  for (std::size_t k = first; k < first + count; ++k) {
    entries.push_back(storedEntry("d" + std::to_string(k % 100) + "/f" + std::to_string(k), {}));
  }
  writeBytes(file, buildContainer(entries).bytes);
  return 0;
}

int printLargest(const fs::path& file) {
  const Bytes bytes = readBytes(file);
  quarry::ResourceTables tables;
  if (quarry::readTables(bytes, tables)) {
    std::cerr << "not a container: " << file.string() << "\n";
    return 1;
  }
  std::uint64_t largest = 0;
  for (std::uint64_t k = 0; k < tables.entryCount; ++k) {
    quarry::EntryRef entry;
    if (!quarry::entryAt(tables, k, entry)) largest = std::max(largest, entry.fullSize);
  }
  std::cout << largest << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "demo") {
      writeBytes(args[1], buildContainer(demoEntries()).bytes);
      return 0;
    }
    if (args.size() == 2 && args[0] == "failing") {
      writeBytes(args[1], buildContainer(failingEntries()).bytes);
      return 0;
    }
    if (args.size() == 2 && args[0] == "seeds") {
      writeSeeds(args[1]);
      return 0;
    }
    if (args.size() == 2 && args[0] == "largest") return printLargest(args[1]);
    if ((args.size() == 3 || args.size() == 4) && args[0] == "many") {
      return writeMany(args[1], std::stoul(args[2]), args.size() == 4 ? std::stoul(args[3]) : 0);
    }
    if (args.size() == 4 && args[0] == "pack-order") return packInOrder(args[1], args[2], args[3]);
    if ((args.size() == 3 || args.size() == 4) && args[0] == "pack") {
      return pack(args[1], args[2], args.size() == 4 ? std::stoi(args[3]) : 0);
    }
  } catch (const std::exception& error) {
    std::cerr << "quarry_sample: " << error.what() << "\n";
    return 1;
  }
  std::cerr
      << "usage: quarry_sample demo FILE | failing FILE | seeds FOLDER | pack FOLDER FILE [N] |"
         " pack-order FOLDER ORDER FILE | many FILE N [FIRST] | largest FILE\n";
  return 2;
}
