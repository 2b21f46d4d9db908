// The few file-system operations the output side is built on, below an open folder. The
// decisions (what is refused, create or replace, what is removed after a failure, which
// folders are known) are the output tree's, made once over this seam; the disk (POSIX,
// Windows) and the tests' in-memory twin only carry them out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file_identity.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

// A folder or file the file system opened: a descriptor, a HANDLE, or the twin's number.
using FsHandle = std::intptr_t;
constexpr FsHandle NO_FS_HANDLE = -1;

// What a call answered, in the terms the output side decides by; code keeps the platform's
// own error number for the message.
enum class FsOutcome : std::uint8_t {
  Done,
  Exists,       // the name is taken (by anything)
  Missing,      // the name, or a folder on the way to it, is not there
  Link,         // a link, junction or reparse point stands where a folder or file was to be
  NotAFolder,   // something other than a folder stands on the way
  TooManyOpen,  // out of descriptors or handles
  Stopped,      // the run was asked to stop during the call
  Failed,       // any other refusal
};

struct FsResult {
  FsOutcome outcome = FsOutcome::Done;
  int code = 0;
  bool ok() const { return outcome == FsOutcome::Done; }
};

enum class NodeKind : std::uint8_t { Folder, RegularFile, Link, Other };

struct Node {
  NodeKind kind = NodeKind::Other;
  FileIdentity identity;
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
  // Creates the new file name (one component, or a path of several below parent, none of
  // them a link) in parent, empty and open for writing; Exists when the name is taken.
  // Never follows a link and never waits.
  virtual FsResult createFile(FsHandle parent, PathView name, FsHandle& out) = 0;
  // Creates a file in parent that no entry names, for content that is to replace a name;
  // name is how to reach it, empty while it has none.
  virtual FsResult createTemporary(FsHandle parent, FsHandle& out, PathString& name) = 0;
  virtual FsResult identify(FsHandle file, FileIdentity& out) = 0;
  // Writes the whole payload into an open file, looking at the stop between chunks.
  virtual FsResult writePayload(FsHandle file, const Payload& payload) = 0;
  // Gives the temporary (still open) the name, replacing the file there in one step, so a
  // reader sees the old content or the new, never a mix.
  virtual FsResult replaceWith(FsHandle parent, FsHandle temporary, const PathString& temporaryName,
                               PathView name) = 0;
  // Removes name from parent, only while it is still the file expected.
  virtual FsResult removeIfSame(FsHandle parent, PathView name, const FileIdentity& expected) = 0;
  // Closes a file, answering the error that a delayed write reports there.
  virtual FsResult closeFile(FsHandle file) = 0;
  virtual void closeFolder(FsHandle folder) = 0;
  // True when the open folder was removed since it was opened.
  virtual bool isRemoved(FsHandle folder) = 0;
};

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

}  // namespace quarry

namespace quarry {

// The platform's error number for a folder standing where a file was to be written.
int isAFolderError();

}  // namespace quarry
