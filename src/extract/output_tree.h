// The output side of a run: the output folder, the folders made below it and the files
// written into them, decided once over the file-system seam: the folders by the folder cache,
// each file by the file writer. Below the folder nothing is reached through a link, nothing
// but a regular file is replaced, every file appears under its name only whole, protected
// files are refused, and a file this run was writing is removed when the write fails or the
// run stops.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "extract/file_system.h"
#include "extract/file_writer.h"
#include "extract/folder_cache.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

class OutputTree {
 public:
  // folder: the output folder as the user named it, made when the first entry needs it.
  OutputTree(FileSystem& files, PathString folder, std::vector<ProtectedFile> protectedFiles);

  const PathString& folder() const { return folders_.folder(); }

  // Makes every folder above the entry's file and opens the one it goes in. A parent that
  // failed once fails again at once. An output folder that cannot be made or opened, or that
  // goes away, raises the stop; its failure is then rootFailure().
  std::optional<OutputFailure> ensureParentDirectories(const OutputPath& target);

  // Writes the whole payload as the entry's file, in the folder ensureParentDirectories
  // opened: a new name is taken, an existing one replaced (or, with Keep, left as it is).
  std::optional<OutputFailure> writeWholeFile(const OutputPath& target, const Payload& payload,
                                              ExistingFiles existing, WriteOutcome& outcome);

  // Whether anything stands at the entry's name, in the folder ensureParentDirectories opened.
  bool standsAlready(const OutputPath& target);

  const std::optional<OutputFailure>& rootFailure() const { return folders_.rootFailure(); }

  // Temporaries that killed runs left in the folders this run went through, removed.
  std::uint64_t staleTemporariesRemoved() const { return folders_.staleRemoved(); }

 private:
  FileSystem& files_;
  FolderCache folders_;
  std::vector<ProtectedFile> protected_;
  FsHandle parent_ = NO_FS_HANDLE;  // the entry's folder, kept open by the cache
};

}  // namespace quarry
