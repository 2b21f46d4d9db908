// The output side of a run: the output folder, the folders made below it and the files written
// into them, decided once over the file-system seam. Below the folder nothing is reached
// through a link, nothing but a regular file is replaced, a file that exists is replaced by a
// new one (never written through, so a hard link to a file outside keeps that file's bytes),
// protected files are refused, and a file this run was writing is removed when the write fails
// or the run stops.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "extract/file_system.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

// What happens to an entry whose file already exists.
enum class ExistingFiles : std::uint8_t { Replace, Keep };
enum class WriteOutcome : std::uint8_t { Written, Kept };

class OutputTree {
 public:
  // folder: the output folder as the user named it, made when the first entry needs it.
  OutputTree(FileSystem& files, PathString folder, std::vector<ProtectedFile> protectedFiles);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  const PathString& folder() const { return folder_; }

  // Makes every folder above the entry's file and opens the one it goes in. A parent that
  // failed once fails again at once. An output folder that cannot be made or opened, or that
  // goes away, raises the stop; its failure is then rootFailure().
  std::optional<OutputFailure> ensureParentDirectories(const OutputPath& target);

  // Writes the whole payload as the entry's file, in the folder ensureParentDirectories
  // opened: a new name is created, an existing one replaced (or, with Keep, left as it is).
  std::optional<OutputFailure> writeWholeFile(const OutputPath& target, const Payload& payload,
                                              ExistingFiles existing, WriteOutcome& outcome);

  // Whether anything stands at the entry's name, in the folder ensureParentDirectories opened.
  bool standsAlready(const OutputPath& target);

  const std::optional<OutputFailure>& rootFailure() const { return rootFailure_; }

 private:
  // A few folders kept open, the most recently used: entries of one folder seldom come alone,
  // and a handful of descriptors serves any depth.
  struct OpenFolder {
    PathString key;
    FsHandle handle = NO_FS_HANDLE;
    std::uint64_t lastUse = 0;
  };
  static constexpr std::size_t OPEN_FOLDERS = 4;

  bool openRoot();
  std::optional<OutputFailure> findParent(const OutputPath& target, const PathString& key);
  std::optional<OutputFailure> makeFolders(const OutputPath& target, const PathString& key);
  std::optional<OutputFailure> walkFrom(FsHandle start, std::size_t from, const OutputPath& target,
                                        FsHandle& reached);
  std::optional<OutputFailure> failedFolder(const FsResult& result, const OutputPath& target,
                                            std::size_t end);
  void keepOpen(const PathString& key, FsHandle handle);
  FsResult openParent();
  FsHandle openFolderFor(const PathString& key);
  void closeFolders();
  void forgetFolders();
  bool rootRemoved();

  std::optional<OutputFailure> createOrReplace(const OutputPath& target, const Payload& payload,
                                               ExistingFiles existing, WriteOutcome& outcome);
  std::optional<OutputFailure> writeNew(const OutputPath& target, FsHandle file,
                                        const Payload& payload);
  std::optional<OutputFailure> replace(const OutputPath& target, const Payload& payload);
  std::optional<OutputFailure> checkReplaceable(const OutputPath& target);
  void discard(FsHandle file, const PathString& name);

  FileSystem& files_;
  PathString folder_;
  std::vector<ProtectedFile> protected_;
  FsHandle root_ = NO_FS_HANDLE;
  std::optional<OutputFailure> rootFailure_;
  std::vector<OpenFolder> open_;
  std::uint64_t uses_ = 0;
  std::unordered_set<PathString> known_;  // folders made or found in this run, by key
  std::unordered_map<PathString, OutputFailure> failed_;
  FsHandle parent_ = NO_FS_HANDLE;  // the entry's folder, when open (else reached by its key)
  PathString parentKey_;
  bool ranOutOfHandles_ = false;  // a call of this entry's found no descriptor or handle free
  bool folderVanished_ = false;   // the entry's folder was gone when its file was created
};

}  // namespace quarry
