// The output side on POSIX. The output folder is opened once; every directory and file below
// it is reached from its parent's descriptor, one component at a time and never through a
// symbolic link, so no name and no link already in the folder can lead outside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/unique_fd.h"
#include "base/write_all.h"
#include "extract/directories.h"
#include "extract/output_tree.h"
#include "extract/stored_copy.h"

namespace quarry {
namespace {

// One directory of the current parent's chain. Past HELD_LEVELS only the deepest keeps its
// descriptor, so a name of two thousand components needs no more than this many at once.
struct Level {
  std::string name;
  UniqueFd fd;
};
constexpr std::size_t HELD_LEVELS = 64;

// A file no entry may be written over, by device and inode.
struct ProtectedFile {
  dev_t device;
  ino_t inode;
  EntryProblem problem;
};

constexpr int OPEN_FOR_DIRECTORY = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Never blocks on a FIFO, never follows a link at the file's own name.
constexpr int OPEN_FOR_WRITING = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

EntryFailure failureAt(EntryProblem problem, std::string_view path, int osError = 0) {
  return EntryFailure{problem, osError, std::string(path)};
}

// The component of path that starts at or after `at`, moving `at` past it; empty at the end.
std::string_view nextComponent(std::string_view path, std::size_t& at) {
  const std::size_t start = path.find_first_not_of('/', at);
  if (start == std::string_view::npos) {
    at = path.size();
    return {};
  }
  at = std::min(path.find('/', start), path.size());
  return path.substr(start, at - start);
}

bool isLinkAt(int directory, const char* name) {
  struct stat status {};
  return fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

struct OutputTree::State {
  State(std::string outputFolder, const MappedFile& mapped)
      : folder(std::move(outputFolder)), container(mapped) {}

  std::string folder;
  const MappedFile& container;
  std::vector<ProtectedFile> protectedFiles;
  UniqueFd root;  // the output folder, once made
  std::optional<EntryFailure> rootFailure;
  std::vector<Level> chain;  // the directories of the last parent, below the root
  std::unordered_map<std::string, EntryFailure> failedParents;
  StoredCopy storedCopy;

  void protect(const struct stat& status, EntryProblem problem) {
    protectedFiles.push_back({status.st_dev, status.st_ino, problem});
  }

  std::optional<EntryFailure> openRoot();
  std::optional<EntryFailure> descendTo(const OutputPath& target, std::string_view parent);
  std::optional<EntryFailure> enter(const OutputPath& target, std::string_view component);
  int deepestFd();
  bool reopenDeepest();
  std::optional<EntryFailure> cutBack(const OutputPath& target, std::size_t level);
  void forgetDirectories();

  std::optional<EntryFailure> openTarget(const OutputPath& target, const std::string& leaf,
                                         UniqueFd& file);
  std::optional<EntryFailure> openExisting(const OutputPath& target, const std::string& leaf,
                                           UniqueFd& file);
  int writeContent(int fd, const Payload& payload);
};

// The folder is the user's own path: made as a whole, links in it followed.
std::optional<EntryFailure> OutputTree::State::openRoot() {
  if (root.valid()) return std::nullopt;
  if (rootFailure) return rootFailure;
  const CreateCall<char> makeOne = [](const std::string& directory) {
    if (mkdir(directory.c_str(), 0777) == 0) return CreateResult{};
    const int code = errno;
    if (code == EEXIST) return CreateResult{CreateOutcome::AlreadyExists, code};
    if (code == ENOENT || code == ENOTDIR) return CreateResult{CreateOutcome::NotFound, code};
    return CreateResult{CreateOutcome::Failed, code};
  };
  const std::size_t start = std::min(folder.find_first_not_of('/'), folder.size());
  int code = createChain(folder, start, makeOne, [](char c) { return c == '/'; }).code;
  if (code == 0) {
    root.reset(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) code = errno;
  }
  if (code != 0) rootFailure = failureAt(EntryProblem::CannotCreateDirectory, folder, code);
  return rootFailure;
}

int OutputTree::State::deepestFd() {
  return chain.empty() ? root.get() : chain.back().fd.get();
}

// The chain was cut back to a level past HELD_LEVELS, which holds no descriptor: it is
// opened again from the deepest level that still holds one. False when that fails.
bool OutputTree::State::reopenDeepest() {
  std::size_t held = chain.size() - 1;
  while (held > 0 && !chain[held - 1].fd.valid()) --held;
  UniqueFd current;
  for (std::size_t level = held; level < chain.size(); ++level) {
    const int from =
        level == held ? (held == 0 ? root.get() : chain[held - 1].fd.get()) : current.get();
    UniqueFd next(openat(from, chain[level].name.c_str(), OPEN_FOR_DIRECTORY));
    if (!next.valid()) return false;
    current = std::move(next);
  }
  chain.back().fd = std::move(current);
  return true;
}

// Drops the levels past `level`; the new deepest one must hold a descriptor.
std::optional<EntryFailure> OutputTree::State::cutBack(const OutputPath& target,
                                                       std::size_t level) {
  if (level >= chain.size()) return std::nullopt;
  chain.resize(level);
  if (chain.empty() || chain.back().fd.valid() || reopenDeepest()) return std::nullopt;
  const int code = errno;
  chain.clear();
  return failureAt(EntryProblem::CannotCreateDirectory, target.path, code);
}

// Makes the component below the deepest directory of the chain, or finds it made, and enters
// it; a link there is refused, never followed.
std::optional<EntryFailure> OutputTree::State::enter(const OutputPath& target,
                                                     std::string_view component) {
  const auto end =
      static_cast<std::size_t>(component.data() + component.size() - target.path.data());
  const std::string_view shown = std::string_view(target.path).substr(0, end);
  const std::string name(component);
  const int parent = deepestFd();
  if (mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
    return failureAt(EntryProblem::CannotCreateDirectory, shown, errno);
  }
  UniqueFd entered(openat(parent, name.c_str(), OPEN_FOR_DIRECTORY));
  if (!entered.valid()) {
    const int code = errno;
    if ((code == ELOOP || code == ENOTDIR) && isLinkAt(parent, name.c_str())) {
      return failureAt(EntryProblem::LinkInTheWay, shown);
    }
    return failureAt(EntryProblem::CannotCreateDirectory, shown, code);
  }
  if (chain.size() > HELD_LEVELS) chain.back().fd.reset();
  chain.push_back({name, std::move(entered)});
  return std::nullopt;
}

// Keeps the levels the new parent shares with the last one and makes the rest.
std::optional<EntryFailure> OutputTree::State::descendTo(const OutputPath& target,
                                                         std::string_view parent) {
  std::size_t at = 0;
  std::size_t level = 0;
  std::size_t firstNew = 0;
  for (auto component = nextComponent(parent, at); !component.empty();
       component = nextComponent(parent, at)) {
    if (level >= chain.size() || chain[level].name != component) break;
    ++level;
    firstNew = at;
  }
  if (auto failure = cutBack(target, level)) return failure;
  at = firstNew;
  for (auto component = nextComponent(parent, at); !component.empty();
       component = nextComponent(parent, at)) {
    if (auto failure = enter(target, component)) return failure;
  }
  return std::nullopt;
}

void OutputTree::State::forgetDirectories() {
  chain.clear();
  root.reset();
}

std::optional<EntryFailure> OutputTree::State::openExisting(const OutputPath& target,
                                                            const std::string& leaf,
                                                            UniqueFd& file) {
  const int directory = deepestFd();
  struct stat found {};
  if (fstatat(directory, leaf.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
    return failureAt(EntryProblem::CannotWrite, target.path, errno);
  }
  if (S_ISLNK(found.st_mode)) return failureAt(EntryProblem::LinkInTheWay, target.path);
  if (S_ISDIR(found.st_mode)) return failureAt(EntryProblem::CannotWrite, target.path, EISDIR);
  if (!S_ISREG(found.st_mode)) return failureAt(EntryProblem::NotARegularFile, target.path);
  file.reset(openat(directory, leaf.c_str(), OPEN_FOR_WRITING));
  if (!file.valid()) return failureAt(EntryProblem::CannotWrite, target.path, errno);
  struct stat opened {};
  if (fstat(file.get(), &opened) != 0)
    return failureAt(EntryProblem::CannotWrite, target.path, errno);
  if (!S_ISREG(opened.st_mode)) return failureAt(EntryProblem::NotARegularFile, target.path);
  for (const ProtectedFile& kept : protectedFiles) {
    if (opened.st_dev == kept.device && opened.st_ino == kept.inode) {
      file.reset();
      return failureAt(kept.problem, target.path);
    }
  }
  if (opened.st_size > 0 && ftruncate(file.get(), 0) != 0) {
    return failureAt(EntryProblem::CannotWrite, target.path, errno);
  }
  return std::nullopt;
}

// A new file is created in one call; only an existing name is looked at before it is opened.
std::optional<EntryFailure> OutputTree::State::openTarget(const OutputPath& target,
                                                          const std::string& leaf, UniqueFd& file) {
  if (leaf.empty()) return failureAt(EntryProblem::CannotWrite, target.path, EISDIR);
  file.reset(openat(deepestFd(), leaf.c_str(), OPEN_FOR_WRITING | O_CREAT | O_EXCL, 0666));
  if (file.valid()) return std::nullopt;
  if (errno == EEXIST) return openExisting(target, leaf, file);
  return failureAt(EntryProblem::CannotWrite, target.path, errno);
}

int OutputTree::State::writeContent(int fd, const Payload& payload) {
  if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) {
    return writeAll(fd, decoded->bytes());
  }
  const auto& stored = std::get<StoredBytes>(payload);
  SourceState source = SourceState::Whole;
  const int code = storedCopy.copy(static_cast<int>(container.fileHandle()), stored.offset,
                                   stored.bytes.size(), fd, source);
  // The file ends before the range the mapping was checked for: it was cut short.
  if (source == SourceState::EndedEarly) container.markShrunk();
  return code;
}

OutputTree::OutputTree(PathString folder, const MappedFile& container,
                       const std::string& decoderFile)
    : state_(std::make_unique<State>(std::move(folder), container)) {
  struct stat status {};
  if (fstat(static_cast<int>(container.fileHandle()), &status) == 0) {
    state_->protect(status, EntryProblem::IsTheContainer);
  }
  if (!decoderFile.empty() && stat(decoderFile.c_str(), &status) == 0) {
    state_->protect(status, EntryProblem::IsTheDecoder);
  }
}

OutputTree::~OutputTree() = default;

const PathString& OutputTree::folder() const {
  return state_->folder;
}

std::optional<EntryFailure> OutputTree::makeParentOf(const OutputPath& target) {
  const PathView parent = relativeParentOf(target);
  if (!state_->failedParents.empty()) {
    const auto known = state_->failedParents.find(std::string(parent));
    if (known != state_->failedParents.end()) return known->second;
  }
  if (auto failure = state_->openRoot()) return failure;  // remembered as the root's own
  std::optional<EntryFailure> failure = state_->descendTo(target, parent);
  if (failure) state_->failedParents.emplace(std::string(parent), *failure);
  return failure;
}

std::optional<EntryFailure> OutputTree::write(const OutputPath& target, const Payload& payload) {
  const std::string leaf(leafOf(target));
  UniqueFd file;
  std::optional<EntryFailure> failure = state_->openTarget(target, leaf, file);
  if (failure) {
    // The directory itself may have gone since it was made: the next entry makes it anew.
    if (failure->osError == ENOENT) state_->forgetDirectories();
    return failure;
  }
  int code = state_->writeContent(file.get(), payload);
  if (close(file.release()) != 0 && code == 0) code = errno;
  if (code != 0) {
    unlinkat(state_->deepestFd(), leaf.c_str(), 0);
    return failureAt(EntryProblem::CannotWrite, target.path, code);
  }
  return std::nullopt;
}

}  // namespace quarry
