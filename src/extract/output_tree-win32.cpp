// The output side on Windows: directories made along the whole path, the parents met in the
// run remembered; below the output folder a junction or symbolic link is never gone through,
// and a file is opened without following a reparse point at its own name. The container and
// a loaded library cannot be opened for writing: the share modes refuse it.
#include <windows.h>

#include <algorithm>

#include "base/os_error.h"
#include "base/unicode.h"
#include "extract/directories.h"
#include "extract/output_tree.h"

namespace quarry {
namespace {

// below: the directory lies below the output folder, where no reparse point may stand.
CreateResult createDirectoryOnDisk(const std::u16string& directory, bool below) {
  if (CreateDirectoryW(asWide(directory), nullptr)) return {CreateOutcome::Created, 0};
  const auto code = static_cast<int>(GetLastError());
  if (code == ERROR_ALREADY_EXISTS) {
    // Only below the folder is it asked what stands there: the folder's own path is the user's.
    const DWORD attributes =
        below ? GetFileAttributesW(asWide(directory)) : INVALID_FILE_ATTRIBUTES;
    const bool link =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (link) return {CreateOutcome::LinkInTheWay, 0};
    return {CreateOutcome::AlreadyExists, code};
  }
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
    return {CreateOutcome::NotFound, code};
  }
  return {CreateOutcome::Failed, code};
}

// The most one write call is asked to carry, well below the 2 GiB that some calls stop at.
constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{1} << 30;

// Writes everything or returns the error number.
int writeAll(HANDLE file, ByteSpan bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min<std::uint64_t>(bytes.size(), WRITE_CHUNK));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return lastOsError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes = bytes.subspan(written);
  }
  return 0;
}

// Windows writes stored bytes straight from the mapping.
ByteSpan bytesOf(const Payload& payload) {
  if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) return decoded->bytes();
  return std::get<StoredBytes>(payload).bytes;
}

EntryFailure failureAt(EntryProblem problem, const std::u16string& path, int osError = 0) {
  return EntryFailure{problem, osError, encodeLossless(path)};
}

// An existing file is truncated only once it is known to be a plain file on disk.
std::optional<EntryFailure> checkExisting(HANDLE file, const std::u16string& path) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(file, &information)) {
    return failureAt(EntryProblem::CannotWrite, path, lastOsError());
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return failureAt(EntryProblem::LinkInTheWay, path);
  }
  if (GetFileType(file) != FILE_TYPE_DISK) return failureAt(EntryProblem::NotARegularFile, path);
  if (!SetEndOfFile(file)) return failureAt(EntryProblem::CannotWrite, path, lastOsError());
  return std::nullopt;
}

// Opens the file for writing, empty: made new, or an existing plain file truncated.
HANDLE openTarget(const std::u16string& path, std::optional<EntryFailure>& failure) {
  HANDLE file = CreateFileW(asWide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == nullptr || file == INVALID_HANDLE_VALUE) {
    failure = failureAt(EntryProblem::CannotWrite, path, lastOsError());
    return INVALID_HANDLE_VALUE;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) failure = checkExisting(file, path);
  if (!failure) return file;
  CloseHandle(file);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

struct OutputTree::State {
  std::u16string folder;
  MadeDirectories made;
};

OutputTree::OutputTree(PathString folder, const MappedFile&, const std::string&)
    : state_(std::make_unique<State>(State{std::move(folder), {}})) {}

OutputTree::~OutputTree() = default;

const PathString& OutputTree::folder() const {
  return state_->folder;
}

std::optional<EntryFailure> OutputTree::makeParentOf(const OutputPath& target) {
  // The folder's own path is the user's: links in it are theirs to have.
  const std::size_t below = target.nameStart;
  const CreateDirectoryCall create = [below](const std::u16string& directory) {
    return createDirectoryOnDisk(directory, directory.size() > below);
  };
  const DirectoryResult made = createParentChain(target.path, state_->made, create);
  if (made.linkInTheWay) return failureAt(EntryProblem::LinkInTheWay, made.link);
  if (made.code != 0) return failureAt(EntryProblem::CannotCreateDirectory, made.parent, made.code);
  return std::nullopt;
}

std::optional<EntryFailure> OutputTree::write(const OutputPath& target, const Payload& payload) {
  std::optional<EntryFailure> failure;
  HANDLE file = openTarget(target.path, failure);
  if (failure) return failure;
  const int code = writeAll(file, bytesOf(payload));
  CloseHandle(file);
  if (code == 0) return std::nullopt;
  DeleteFileW(asWide(target.path));
  // The directory may have gone since it was made: the next entry makes it anew.
  state_->made.parents.erase(parentPathOf(target.path));
  return failureAt(EntryProblem::CannotWrite, target.path, code);
}

}  // namespace quarry
