// Arbitrary bytes as a container: the tables are found or refused, and every entry that is
// found has its name, its stored bytes, its output path and its message worked out as the
// run would.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/messages.h"
#include "container/view.h"
#include "extract/paths.h"

namespace {

#ifdef _WIN32
constexpr quarry::PathView FOLDER = u"out";
#else
constexpr quarry::PathView FOLDER = "out";
#endif

// Touches every byte the run would read, so the sanitizers see any read out of bounds.
unsigned touch(const std::uint8_t* data, std::uint64_t size) {
  unsigned sum = 0;
  for (std::uint64_t k = 0; k < size; ++k) sum += data[k];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quarry;
  ResourceTables tables;
  if (readTables(ByteSpan(data, size), tables)) return 0;
  volatile unsigned sink = 0;
  // A container can claim four billion entries whose tables fit only in a huge file; the
  // fuzzer's inputs are small, so every entry is visited.
  for (std::uint64_t index = 0; index < tables.entryCount; ++index) {
    EntryRef entry;
    if (entryAt(tables, index, entry)) continue;
    sink = sink +
           touch(reinterpret_cast<const std::uint8_t*>(entry.name.data()), entry.name.size() + 1);
    sink = sink + touch(data + entry.dataOffset, entry.storedSize);
    OutputPath target;
    const std::optional<NameFailure> refused = outputPathFor(FOLDER, entry.name, target);
    if (!refused) sink = sink + static_cast<unsigned>(relativeParentOf(target).size());
    // Whatever the name, its line is one line of bounded length.
    const EntryFailure failure =
        refused
            ? EntryFailure(*refused)
            : EntryFailure(OutputFailure(OutputProblem::CannotWrite, 0, std::string(entry.name)));
    const std::string line = entryFailureLine(index, entry.name, failure);
    if (line.find('\n') != std::string::npos || line.size() > 4 * 1024) __builtin_trap();
  }
  return 0;
}
