// The few file-system operations the output side is built on, below an open folder. The
// decisions (what is refused, create or replace, what is removed after a failure, which
// folders are known) are the output tree's, made once over this seam; the disk (POSIX,
// Windows) and the tests' in-memory twin only carry them out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/file_identity.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

// A folder or file the file system opened: a descriptor, a HANDLE, or the twin's number.
using FsHandle = std::intptr_t;
constexpr FsHandle NO_FS_HANDLE = -1;

// What a call answered, in the terms the output side decides by; osError keeps the platform's
// own error number for the message.
enum class FsOutcome : std::uint8_t {
  Done,
  Exists,       // the name is taken (by anything)
  Missing,      // the name, or a folder on the way to it, is not there
  Link,         // a link, junction or reparse point stands where a folder or file was to be
  NotAFolder,   // something other than a folder stands on the way
  TooManyOpen,  // out of descriptors or handles
  Stopped,      // the run was asked to stop during the call
  Unavailable,  // this system or file system cannot do it: the caller takes another way
  Failed,       // any other refusal
};

struct FsResult {
  FsOutcome outcome = FsOutcome::Done;
  int osError = 0;
  bool ok() const { return outcome == FsOutcome::Done; }
};

enum class NodeKind : std::uint8_t { Folder, RegularFile, Link, Other };

struct Node {
  NodeKind kind = NodeKind::Other;
  FileIdentity identity;
};

// How a file written whole takes its name.
enum class Naming : std::uint8_t {
  IfFree,     // only while nothing stands at the name: Exists when something does
  Replacing,  // in place of what stands there, in one step
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The output folder as the user named it: made, with the folders above it, when missing;
  // links in its own path are followed, since the user chose it.
  virtual FsResult openOutputFolder(const PathString& folder, FsHandle& out) = 0;
  // The folder at relative (one or more components) below base, never through a link.
  virtual FsResult openFolder(FsHandle base, PathView relative, FsHandle& out) = 0;
  // Makes the folder name (one component) in parent; Exists when the name is taken.
  virtual FsResult makeFolder(FsHandle parent, PathView name) = 0;
  // What stands at name in parent, a link not followed.
  virtual FsResult inspect(FsHandle parent, PathView name, Node& node) = 0;
  // A new file in parent that has no name, for content that takes one once it is whole, and
  // that nothing is left of if the run ends first; Unavailable where there are none.
  virtual FsResult createUnnamed(FsHandle parent, FsHandle& out) = 0;
  // Creates the new file name (one component) in parent, empty and open for writing; Exists
  // when the name is taken. Where the system can, the file goes when the process ends unless
  // nameFile has named it since (Windows' delete on close). Never follows a link, never waits.
  virtual FsResult createFile(FsHandle parent, PathView name, FsHandle& out) = 0;
  virtual FsResult identify(FsHandle file, FileIdentity& out) = 0;
  // Writes the whole payload into an open file, looking at the stop between chunks.
  virtual FsResult writePayload(FsHandle file, const Payload& payload) = 0;
  // Gives the open file, written whole, the name in parent, so a reader finds there the old
  // content or the new, never a part. fileName is its own name in parent, empty when it has
  // none; a file without a name takes only a free name.
  virtual FsResult nameFile(FsHandle parent, FsHandle file, const PathString& fileName,
                            PathView name, Naming naming) = 0;
  // Removes name from parent, only while it is still the file expected.
  virtual FsResult removeIfSame(FsHandle parent, PathView name, const FileIdentity& expected) = 0;
  // Every name in the open folder.
  virtual FsResult listFolder(FsHandle folder, std::vector<PathString>& names) = 0;
  // Closes a file, answering the error that a delayed write reports there.
  virtual FsResult closeFile(FsHandle file) = 0;
  virtual void closeFolder(FsHandle folder) = 0;
  // True when the open folder was removed since it was opened.
  virtual bool isRemoved(FsHandle folder) = 0;
  // New files of fewer than this many bytes are created at their own name and written there,
  // where a file without a name costs more than writing a small file does (0: none; always
  // 0 where createFile's files go when they close).
  virtual std::uint64_t inPlaceLimit() const = 0;
};

// An open folder or file of the seam, given back to it by its owner, moved but never copied;
// close() answers what closing reports (a file's delayed write error).
template <FsResult (*Close)(FileSystem&, FsHandle)>
class SeamOwner {
 public:
  SeamOwner() = default;
  SeamOwner(FileSystem& files, FsHandle handle) : files_(&files), handle_(handle) {}
  SeamOwner(SeamOwner&& other) noexcept { *this = std::move(other); }
  SeamOwner& operator=(SeamOwner&& other) noexcept {
    if (this != &other) {
      close();
      files_ = other.files_;
      handle_ = std::exchange(other.handle_, NO_FS_HANDLE);
    }
    return *this;
  }
  SeamOwner(const SeamOwner&) = delete;
  SeamOwner& operator=(const SeamOwner&) = delete;
  ~SeamOwner() { close(); }

  FsHandle get() const { return handle_; }
  bool valid() const { return handle_ != NO_FS_HANDLE; }
  FsResult close() {
    if (!valid()) return {};
    return Close(*files_, std::exchange(handle_, NO_FS_HANDLE));
  }

 private:
  FileSystem* files_ = nullptr;
  FsHandle handle_ = NO_FS_HANDLE;
};

inline FsResult closeSeamFolder(FileSystem& files, FsHandle folder) {
  files.closeFolder(folder);
  return {};
}
inline FsResult closeSeamFile(FileSystem& files, FsHandle file) {
  return files.closeFile(file);
}

using OwnedFolder = SeamOwner<closeSeamFolder>;
using OwnedFile = SeamOwner<closeSeamFile>;

// A file no entry may replace, and the refusal that names it.
struct ProtectedFile {
  FileIdentity identity;
  OutputProblem problem;
};

// The disk's file system, copying stored payloads out of their container through its owner.
std::unique_ptr<FileSystem> makeDiskFileSystem();

// The run's containers, the decoder library at decoderFile (when not empty) and the files that
// Quarry's own standard output and error go to.
std::vector<ProtectedFile> filesToProtect(const std::vector<FileIdentity>& containers,
                                          const std::string& decoderFile);

// What filesToProtect asks of the platform: which regular file is at path (a link followed),
// and which regular file a standard stream goes to; nothing for anything else.
enum class StandardStream : std::uint8_t { Output, Error };
std::optional<FileIdentity> regularFileAt(const std::string& path);
std::optional<FileIdentity> regularFileOf(StandardStream stream);

}  // namespace quarry

namespace quarry {

// The platform's error number for a folder standing where a file was to be written.
int isAFolderError();

// This process's number, for the names of its temporaries, and whether a process of that
// number runs on this machine now (when it cannot be told, it is taken to run).
std::uint64_t currentProcessId();
bool processRuns(std::uint64_t id);

}  // namespace quarry
