// The output side's file-system calls on POSIX: everything below the output folder is reached
// from a folder's descriptor, never through a symbolic link, and a file is opened without
// waiting on a FIFO.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "base/file_identity-posix.h"
#include "base/stop_checked.h"
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
  FsResult result;
  forEachComponent(relative, [&](std::string_view name) {
    FsHandle next = NO_FS_HANDLE;
    result = openOneFolder(current.valid() ? current.get() : base, std::string(name), next);
    if (result.ok()) current.reset(static_cast<int>(next));
    return result.ok();
  });
  if (!result.ok()) return result;
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

constexpr std::uint64_t IN_PLACE_LIMIT = std::uint64_t{64} << 10;

// Renames from to name in folder only while name is free: in one call where the kernel has
// one, else by a second name for the file (which fails when name is taken) and the first
// name's removal.
int renameIfFree(int folder, const char* from, const char* name) {
  const int renamed = renameWithoutReplacing(folder, from, name);
  if (renamed != CALL_MISSING) return renamed;
  if (linkat(folder, from, folder, name, 0) != 0) return errno;
  unlinkat(folder, from, 0);
  return 0;
}

struct CloseListing {
  void operator()(DIR* listing) const { closedir(listing); }
};

class PosixFileSystem final : public FileSystem {
 public:
  FsResult openOutputFolder(const PathString& folder, FsHandle& out) override {
    const std::size_t start = std::min(folder.find_first_not_of('/'), folder.size());
    const FsResult made = makeFolderChain(folder, start, MakeFolderCall<char>(makeOne),
                                          [](char c) { return c == '/'; });
    if (!made.ok()) return answer(made.osError);
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

  FsResult createUnnamed(FsHandle parent, FsHandle& out) override {
    const int unnamed = openUnnamedFile(fd(parent));
    if (unnamed == CALL_MISSING) return {FsOutcome::Unavailable, ENOSYS};
    return opened(unnamed, out);
  }

  FsResult createFile(FsHandle parent, PathView name, FsHandle& out) override {
    return opened(openat(fd(parent), std::string(name).c_str(), CREATE_FILE, 0666), out);
  }

  FsResult identify(FsHandle file, FileIdentity& out) override {
    struct stat status {};
    if (fstat(fd(file), &status) != 0) return answer(errno);
    out = identityOf(status);
    return {};
  }

  FsResult writePayload(FsHandle file, const Payload& payload) override {
    if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) {
      return answer(writeStopChecked(decoded->bytes(),
                                     [&](ByteSpan chunk) { return writeAll(fd(file), chunk); }));
    }
    const auto& stored = std::get<StoredBytes>(payload);
    return answer(stored.file->copyRange(stored.offset, stored.bytes.size(), fd(file)));
  }

  FsResult nameFile(FsHandle parent, FsHandle file, const PathString& fileName, PathView name,
                    Naming naming) override {
    const std::string to(name);
    if (fileName.empty()) {
      if (naming == Naming::Replacing) return answer(EINVAL);  // only a free name, by a link
      return answer(nameUnnamedFile(fd(file), fd(parent), to.c_str()));
    }
    if (naming == Naming::IfFree)
      return answer(renameIfFree(fd(parent), fileName.c_str(), to.c_str()));
    return answer(renameat(fd(parent), fileName.c_str(), fd(parent), to.c_str()) == 0 ? 0 : errno);
  }

  FsResult listFolder(FsHandle folder, std::vector<PathString>& names) override {
    names.clear();
    const int copy = openat(fd(folder), ".", OPEN_FOLDER);
    if (copy < 0) return answer(errno);
    const std::unique_ptr<DIR, CloseListing> listing(fdopendir(copy));
    if (!listing) {
      const int code = errno;
      close(copy);
      return answer(code);
    }
    while (const dirent* item = readdir(listing.get())) {
      const std::string_view name = item->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    return {};
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

  // A file without a name costs about 2 us more to make and name than writing a small file at
  // its name (ext4 and tmpfs alike): a quarter more on a tree of 4 KiB files.
  std::uint64_t inPlaceLimit() const override { return IN_PLACE_LIMIT; }

 private:
  static int fd(FsHandle handle) { return static_cast<int>(handle); }
};

}  // namespace

std::unique_ptr<FileSystem> makeDiskFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

std::optional<FileIdentity> regularFileAt(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return identityOf(status);
}

std::optional<FileIdentity> regularFileOf(StandardStream stream) {
  struct stat status {};
  const int fd = stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return identityOf(status);
}

std::uint64_t currentProcessId() {
  return static_cast<std::uint64_t>(getpid());
}

bool processRuns(std::uint64_t id) {
  if (id == 0 || id > static_cast<std::uint64_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
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
int renameWithoutReplacing(int, const char*, const char*) {
  return CALL_MISSING;
}
#endif

}  // namespace quarry
