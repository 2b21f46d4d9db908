// The output side of a run: the output folder, the directories made below it and the files
// written into them. Below the folder nothing is reached through a link or junction, nothing
// but a regular file is opened for writing, and neither the container being read nor the
// decoder library in use is ever written over.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/failure.h"
#include "container/mapped_file.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

class OutputTree {
 public:
  // folder: the output folder as the user named it, made when the first entry needs it.
  // container: the mapped container, which stored payloads are copied from and which no entry
  // may overwrite. decoderFile: the decoder library's path, empty when not known.
  OutputTree(PathString folder, const MappedFile& container, const std::string& decoderFile);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  const PathString& folder() const;

  // Makes every directory above the entry's file. A parent that failed once fails again at
  // once, with the same failure.
  std::optional<EntryFailure> makeParentOf(const OutputPath& target);

  // Creates or truncates the entry's file and writes the whole payload. After a failed write
  // the file, which this run created or truncated, is removed. Call after makeParentOf.
  std::optional<EntryFailure> write(const OutputPath& target, const Payload& payload);

  struct State;  // per platform

 private:
  std::unique_ptr<State> state_;
};

inline std::optional<EntryFailure> ensureParentDirectories(OutputTree& tree,
                                                           const OutputPath& target) {
  return tree.makeParentOf(target);
}

inline std::optional<EntryFailure> writeWholeFile(OutputTree& tree, const OutputPath& target,
                                                  const Payload& payload) {
  return tree.write(target, payload);
}

}  // namespace quarry
