// The output side's file system in memory, for tests: folders, files, links and other nodes,
// hard links across folders, and any call made to fail (or to let something happen first) at
// any point, as a full disk, a refused folder, a lack of descriptors or another program would.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "extract/file_system.h"
#include "support/container_writer.h"

namespace quarry::testing {

enum class FsCall : std::uint8_t {
  OpenOutputFolder,
  OpenFolder,
  MakeFolder,
  Inspect,
  CreateUnnamed,
  CreateFile,
  WritePayload,
  NameFile,
  RemoveIfSame,
  ListFolder,
  CloseFile,
};

// One planned failure: the matching call (on a name that contains `name`, any name when
// empty), after `skip` matching calls have gone through, answers outcome/code; `before` runs
// first either way. A write answers its failure after `afterBytes` bytes went in.
struct FsFault {
  FsCall call;
  PathString name;
  FsOutcome outcome = FsOutcome::Failed;
  int code = 0;
  int skip = 0;
  std::uint64_t afterBytes = 0;
  std::function<void()> before;
};

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem();

  // The tree, by paths with '/' from the file system's root.
  void addFolder(const PathString& path);
  void addFile(const PathString& path, const Bytes& content);
  void addLink(const PathString& path);
  void addOther(const PathString& path);  // a FIFO, a device, a socket
  void addHardLink(const PathString& path, const PathString& existing);
  void removeFolder(const PathString& path);  // as another program would, while open
  std::optional<Bytes> contentOf(const PathString& path) const;
  bool exists(const PathString& path) const;
  std::vector<PathString> namesIn(const PathString& folder) const;
  FileIdentity identityOf(const PathString& path) const;

  void plan(FsFault fault) { faults_.push_back(std::move(fault)); }
  // Temporaries made without a name until they take one, as Linux's O_TMPFILE does.
  void useUnnamedTemporaries(bool unnamed) { unnamed_ = unnamed; }
  // New files of fewer than this many bytes created at their names, as on POSIX disks.
  void createInPlaceUpTo(std::uint64_t limit) { inPlaceLimit_ = limit; }
  std::uint64_t inPlaceLimit() const override { return inPlaceLimit_; }

  std::size_t openHandles() const { return handles_.size(); }
  std::size_t mostOpenHandles() const { return mostOpen_; }
  const std::vector<FsCall>& calls() const { return calls_; }

  FsResult openOutputFolder(const PathString& folder, FsHandle& out) override;
  FsResult openFolder(FsHandle base, PathView relative, FsHandle& out) override;
  FsResult makeFolder(FsHandle parent, PathView name) override;
  FsResult inspect(FsHandle parent, PathView name, Node& node) override;
  FsResult createUnnamed(FsHandle parent, FsHandle& out) override;
  FsResult createFile(FsHandle parent, PathView name, FsHandle& out) override;
  FsResult identify(FsHandle file, FileIdentity& out) override;
  FsResult writePayload(FsHandle file, const Payload& payload) override;
  FsResult nameFile(FsHandle parent, FsHandle file, const PathString& fileName, PathView name,
                    Naming naming) override;
  FsResult removeIfSame(FsHandle parent, PathView name, const FileIdentity& expected) override;
  FsResult listFolder(FsHandle folder, std::vector<PathString>& names) override;
  FsResult closeFile(FsHandle file) override;
  void closeFolder(FsHandle folder) override;
  bool isRemoved(FsHandle folder) override;

 private:
  struct MemoryNode {
    NodeKind kind = NodeKind::Folder;
    std::map<PathString, std::size_t> children;
    Bytes content;
    bool removed = false;
  };

  std::optional<FsResult> injected(FsCall call, PathView name, std::uint64_t* allowedBytes);
  std::size_t addNode(NodeKind kind);
  std::optional<std::size_t> find(const PathString& path) const;
  std::size_t folderAt(const PathString& path);
  void setChild(const PathString& path, std::size_t node);
  void removeTree(std::size_t node);
  FsHandle open(std::size_t node);
  std::size_t nodeOf(FsHandle handle) const;

  std::vector<MemoryNode> nodes_;
  std::map<FsHandle, std::size_t> handles_;
  FsHandle nextHandle_ = 3;
  std::size_t mostOpen_ = 0;
  std::vector<FsFault> faults_;
  std::vector<FsCall> calls_;
  bool unnamed_ = false;
  std::uint64_t inPlaceLimit_ = 0;
};

}  // namespace quarry::testing
