// The output folder and the folders below it that a run reaches: a few kept open (the most
// recently used), the others known to exist, and those that failed, each remembered for the
// run. Below the output folder nothing is reached through a link. A folder that stood there
// before the run is looked through once for the temporaries that a killed run left.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "extract/file_system.h"
#include "extract/paths.h"

namespace quarry {

class FolderCache {
 public:
  FolderCache(FileSystem& files, PathString folder);

  const PathString& folder() const { return folder_; }

  // The open folder that the entry's file goes in, made with the folders above it where they
  // are missing; it stays open until the next call. A parent that failed once fails again at
  // once. An output folder that cannot be made or opened raises the stop (rootFailure()).
  struct Answer {
    FsHandle folder = NO_FS_HANDLE;
    std::optional<OutputFailure> failure;
  };
  Answer parentOf(const OutputPath& target);

  // Something below the output folder changed under the run: every kept folder goes, and what
  // was known is asked again.
  void forget();
  // The kept folders go (the system is out of descriptors or handles).
  void letGo() { open_.clear(); }

  // True, and the stop raised, when the output folder was removed during the run.
  bool rootRemoved();
  const std::optional<OutputFailure>& rootFailure() const { return rootFailure_; }

  // Temporaries of processes that no longer run, removed so far.
  std::uint64_t staleRemoved() const { return staleRemoved_; }

 private:
  static constexpr std::size_t OPEN_FOLDERS = 4;

  struct Kept {
    PathString key;
    OwnedFolder folder;
    std::uint64_t lastUse = 0;
  };

  // A folder reached (owned by the kept ones), or why not, and whether running out of
  // handles was why.
  struct Reached {
    FsHandle folder = NO_FS_HANDLE;
    std::optional<OutputFailure> failure;
    bool outOfHandles = false;
  };

  bool openRoot();
  Reached reach(const OutputPath& target, const PathString& key);
  Reached makeFolders(const OutputPath& target, const PathString& key);
  Reached walkFrom(OwnedFolder start, FsHandle startHandle, std::size_t from,
                   const OutputPath& target, const PathString& key);
  Reached failedFolder(const FsResult& result, const OutputPath& target, std::size_t end) const;
  FsHandle kept(const PathString& key);
  FsHandle keep(const PathString& key, OwnedFolder folder);
  void removeStaleTemporaries(FsHandle folder);

  FileSystem& files_;
  PathString folder_;
  OwnedFolder root_;
  std::optional<OutputFailure> rootFailure_;
  std::vector<Kept> open_;
  std::uint64_t uses_ = 0;
  std::unordered_set<PathString> known_;  // folders made or found in this run, by key
  std::unordered_map<PathString, OutputFailure> failed_;
  std::uint64_t staleRemoved_ = 0;
};

}  // namespace quarry
