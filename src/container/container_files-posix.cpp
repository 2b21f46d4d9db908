#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "base/unicode.h"
#include "container/container_files.h"

namespace quarry {
namespace {

struct CloseFolder {
  void operator()(DIR* folder) const { closedir(folder); }
};
using UniqueFolder = std::unique_ptr<DIR, CloseFolder>;

struct Walk {
  std::string root;  // the folder as typed, with a '/' after it
  std::vector<ContainerFile> files;
  // The folders on the way down, so that a folder mounted inside itself is not walked again.
  std::vector<std::pair<dev_t, ino_t>> way;
};

FindFailure cannotRead(const std::string& folder, int error) {
  return FindFailure{FindProblem::CannotReadFolder, error, decodeLossless(folder)};
}

std::vector<std::string> namesIn(DIR* folder) {
  std::vector<std::string> names;
  while (const dirent* item = readdir(folder)) {
    const std::string_view name = item->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

std::optional<FindFailure> walkFolder(int descriptor, const std::string& relative, Walk& walk);

// A folder below is entered only as the folder it still is: a link that took its place since
// it was looked at is not followed.
std::optional<FindFailure> enter(int parent, const std::string& name, const struct stat& status,
                                 const std::string& relative, Walk& walk) {
  const auto self = std::make_pair(status.st_dev, status.st_ino);
  if (std::find(walk.way.begin(), walk.way.end(), self) != walk.way.end()) return std::nullopt;
  const int folder =
      openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (folder < 0) {
    if (errno == ELOOP || errno == ENOTDIR || errno == ENOENT) return std::nullopt;
    return cannotRead(walk.root + relative + name, errno);
  }
  walk.way.push_back(self);
  auto failure = walkFolder(folder, relative + name + "/", walk);
  walk.way.pop_back();
  return failure;
}

std::optional<FindFailure> walkFolder(int descriptor, const std::string& relative, Walk& walk) {
  const UniqueFolder folder(fdopendir(descriptor));
  if (!folder) {
    const int error = errno;
    close(descriptor);
    return cannotRead(walk.root + relative, error);
  }
  for (const std::string& name : namesIn(folder.get())) {
    struct stat status {};
    if (fstatat(dirfd(folder.get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      if (auto failure = enter(dirfd(folder.get()), name, status, relative, walk)) return failure;
    } else if (S_ISREG(status.st_mode) && isContainerName(decodeLossless(name))) {
      const std::string shown = relative + name;
      walk.files.push_back({decodeLossless(walk.root + shown), shown});
    }
  }
  return std::nullopt;
}

}  // namespace

bool isRegularFile(const std::u16string& path) {
  struct stat status {};
  return stat(encodeLossless(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<FindFailure> findContainerFiles(const std::u16string& argument, ContainerFiles& out) {
  out = ContainerFiles();
  const std::string path = encodeLossless(argument);
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    out.files.push_back({argument, path});
    return std::nullopt;
  }
  Walk walk;
  walk.root = path.back() == '/' ? path : path + "/";
  walk.way.emplace_back(status.st_dev, status.st_ino);
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (folder < 0) return cannotRead(path, errno);
  if (auto failure = walkFolder(folder, "", walk)) return failure;
  if (walk.files.empty()) return FindFailure{FindProblem::NoContainerInFolder, 0, argument};
  sortContainerFiles(walk.files);
  out.files = std::move(walk.files);
  out.several = true;
  return std::nullopt;
}

}  // namespace quarry
