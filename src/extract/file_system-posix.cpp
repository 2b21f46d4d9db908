// The output side's file-system calls on POSIX: everything below the output folder is reached
// from a folder's descriptor, never through a symbolic link, and a file is opened without
// waiting on a FIFO.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "base/file_identity-posix.h"
#include "base/stop.h"
#include "base/unique_fd-posix.h"
#include "base/write_all-posix.h"
#include "extract/directories.h"
#include "extract/file_system.h"
#include "extract/linux_calls.h"

namespace quarry {
namespace {

constexpr int OPEN_FOLDER = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Never blocks on a FIFO, never follows a link at the file's own name.
constexpr int CREATE_FILE = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Decoded bytes are written this much at a time, the stop looked at in between.
constexpr std::size_t STOP_CHECK_CHUNK = std::size_t{8} << 20;

FsResult answer(int code) {
  switch (code) {
    case 0:
      return {};
    case EEXIST:
      return {FsOutcome::Exists, code};
    case ENOENT:
      return {FsOutcome::Missing, code};
    case ELOOP:
      return {FsOutcome::Link, code};
    case ENOTDIR:
      return {FsOutcome::NotAFolder, code};
    case EMFILE:
    case ENFILE:
      return {FsOutcome::TooManyOpen, code};
    default:
      return {FsOutcome::Failed, code};
  }
}

// A copy or write loop's answer: the stop it ended on is the run's to report.
FsResult answer(OsResult result) {
  return result.stopped ? FsResult{FsOutcome::Stopped, 0} : answer(result.osError);
}

FsResult opened(int fd, FsHandle& out) {
  out = fd;
  return fd >= 0 ? FsResult{} : answer(errno);
}

NodeKind kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return NodeKind::Folder;
  if (S_ISREG(mode)) return NodeKind::RegularFile;
  if (S_ISLNK(mode)) return NodeKind::Link;
  return NodeKind::Other;
}

bool isLinkAt(int folder, const char* name) {
  struct stat status {};
  return fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

// One component, a link in its place told apart from anything else that is not a folder.
FsResult openOneFolder(int base, const std::string& name, FsHandle& out) {
  const int fd = openat(base, name.c_str(), OPEN_FOLDER);
  if (fd >= 0) return opened(fd, out);
  const int code = errno;
  if (code == ENOTDIR && isLinkAt(base, name.c_str())) return {FsOutcome::Link, ELOOP};
  return answer(code);
}

// Component by component, holding two descriptors at the most.
FsResult walkFolders(int base, std::string_view relative, FsHandle& out) {
  UniqueFd current;
  std::size_t at = 0;
  while (at < relative.size()) {
    const std::size_t end = std::min(relative.find('/', at), relative.size());
    FsHandle next = NO_FS_HANDLE;
    const int from = current.valid() ? current.get() : base;
    const FsResult result = openOneFolder(from, std::string(relative.substr(at, end - at)), next);
    if (!result.ok()) return result;
    current.reset(static_cast<int>(next));
    at = end + 1;
  }
  out = current.valid() ? current.release() : dup(base);
  return out >= 0 ? FsResult{} : answer(errno);
}

FsResult makeOne(const std::string& folder) {
  if (mkdir(folder.c_str(), 0777) == 0) return {};
  const int code = errno;
  if (code == EEXIST) return {FsOutcome::Exists, code};
  if (code == ENOENT || code == ENOTDIR) return {FsOutcome::Missing, code};
  return {FsOutcome::Failed, code};
}

std::atomic<unsigned> temporaries{0};

// A name for a file that is to replace another: hidden, and this process's own.
std::string temporaryName() {
  return ".quarry-" + std::to_string(getpid()) + "-" + std::to_string(++temporaries) + ".part";
}

class PosixFileSystem final : public FileSystem {
 public:
  FsResult openOutputFolder(const PathString& folder, FsHandle& out) override {
    const std::size_t start = std::min(folder.find_first_not_of('/'), folder.size());
    const FsResult made = makeFolderChain(folder, start, MakeFolderCall<char>(makeOne),
                                          [](char c) { return c == '/'; });
    if (!made.ok()) return answer(made.code);
    return opened(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                  out);
  }

  FsResult openFolder(FsHandle base, PathView relative, FsHandle& out) override {
    const std::string path(relative);
    if (relative.find('/') == PathView::npos) return openOneFolder(fd(base), path, out);
    const int beneath = openBeneath(fd(base), path.c_str(), O_RDONLY | O_DIRECTORY);
    if (beneath != CALL_MISSING) return opened(beneath, out);
    return walkFolders(fd(base), relative, out);
  }

  FsResult makeFolder(FsHandle parent, PathView name) override {
    return answer(mkdirat(fd(parent), std::string(name).c_str(), 0777) == 0 ? 0 : errno);
  }

  FsResult inspect(FsHandle parent, PathView name, Node& node) override {
    struct stat status {};
    if (fstatat(fd(parent), std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return answer(errno);
    }
    node = {kindOf(status.st_mode), identityOf(status)};
    return {};
  }

  FsResult createFile(FsHandle parent, PathView name, FsHandle& out) override {
    const std::string path(name);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      return opened(openat(fd(parent), path.c_str(), CREATE_FILE, 0666), out);
    }
    const int beneath = openBeneath(fd(parent), path.c_str(), CREATE_FILE);
    if (beneath != CALL_MISSING) return opened(beneath, out);
    FsHandle folder = NO_FS_HANDLE;
    const FsResult reached = walkFolders(fd(parent), PathView(path).substr(0, slash), folder);
    if (!reached.ok()) return reached;
    const UniqueFd reachedFolder(fd(folder));
    return createFile(folder, PathView(path).substr(slash + 1), out);
  }

  FsResult createTemporary(FsHandle parent, FsHandle& out, PathString& name) override {
    name.clear();
    const int unnamed = openUnnamedFile(fd(parent));
    if (unnamed != CALL_MISSING) return opened(unnamed, out);
    for (int attempt = 0;; ++attempt) {
      name = temporaryName();
      const FsResult result = createFile(parent, name, out);
      if (result.outcome != FsOutcome::Exists || attempt == 8) return result;
    }
  }

  FsResult identify(FsHandle file, FileIdentity& out) override {
    struct stat status {};
    if (fstat(fd(file), &status) != 0) return answer(errno);
    out = identityOf(status);
    return {};
  }

  FsResult writePayload(FsHandle file, const Payload& payload) override {
    if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) {
      return answer(writeInChunks(fd(file), decoded->bytes()));
    }
    const auto& stored = std::get<StoredBytes>(payload);
    return answer(stored.file->copyRange(stored.offset, stored.bytes.size(), fd(file)));
  }

  FsResult replaceWith(FsHandle parent, FsHandle temporary, const PathString& temporaryName,
                       PathView name) override {
    std::string from = temporaryName;
    if (from.empty()) {
      if (const int code = nameTemporary(temporary, parent, from)) return answer(code);
    }
    if (renameat(fd(parent), from.c_str(), fd(parent), std::string(name).c_str()) == 0) return {};
    const int code = errno;
    if (temporaryName.empty()) unlinkat(fd(parent), from.c_str(), 0);
    return answer(code);
  }

  FsResult removeIfSame(FsHandle parent, PathView name, const FileIdentity& expected) override {
    const std::string path(name);
    struct stat status {};
    if (fstatat(fd(parent), path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return answer(errno);
    if (!(identityOf(status) == expected)) return {};
    return answer(unlinkat(fd(parent), path.c_str(), 0) == 0 ? 0 : errno);
  }

  FsResult closeFile(FsHandle file) override { return answer(close(fd(file)) == 0 ? 0 : errno); }

  void closeFolder(FsHandle folder) override { close(fd(folder)); }

  bool isRemoved(FsHandle folder) override {
    struct stat status {};
    return fstat(fd(folder), &status) == 0 && status.st_nlink == 0;
  }

 private:
  static int fd(FsHandle handle) { return static_cast<int>(handle); }

  static OsResult writeInChunks(int file, ByteSpan bytes) {
    while (!bytes.empty()) {
      if (stopRequested()) return stoppedByRun();
      const std::size_t chunk = std::min(bytes.size(), STOP_CHECK_CHUNK);
      if (const OsResult written = writeAll(file, bytes.first(chunk)); !written.ok()) {
        return written;
      }
      bytes = bytes.subspan(chunk);
    }
    return {};
  }

  // An unnamed file gets a hidden name of its own, just before it is renamed.
  static int nameTemporary(FsHandle file, FsHandle parent, std::string& name) {
    for (int attempt = 0;; ++attempt) {
      name = temporaryName();
      const int code = nameUnnamedFile(fd(file), fd(parent), name.c_str());
      if (code != EEXIST || attempt == 8) return code;
    }
  }
};

void protectFile(std::vector<ProtectedFile>& files, const struct stat& status,
                 OutputProblem problem) {
  if (S_ISREG(status.st_mode)) files.push_back({identityOf(status), problem});
}

}  // namespace

std::unique_ptr<FileSystem> makeDiskFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

std::vector<ProtectedFile> filesToProtect(const std::vector<FileIdentity>& containers,
                                          const std::string& decoderFile) {
  std::vector<ProtectedFile> files;
  for (const FileIdentity& identity : containers) {
    files.push_back({identity, OutputProblem::IsTheContainer});
  }
  struct stat status {};
  if (!decoderFile.empty() && stat(decoderFile.c_str(), &status) == 0) {
    protectFile(files, status, OutputProblem::IsTheDecoder);
  }
  for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
    if (fstat(stream, &status) == 0) protectFile(files, status, OutputProblem::IsQuarrysOutput);
  }
  return files;
}

int isAFolderError() {
  return EISDIR;
}

#ifndef QUARRY_LINUX
int openBeneath(int, const char*, int) {
  return CALL_MISSING;
}
int openUnnamedFile(int) {
  return CALL_MISSING;
}
int nameUnnamedFile(int, int, const char*) {
  return ENOSYS;
}
#endif

}  // namespace quarry
