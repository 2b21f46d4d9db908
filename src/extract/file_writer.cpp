#include "extract/file_writer.h"

#include <atomic>

#include "base/stop.h"
#include "extract/output_failure.h"
#include "extract/temporaries.h"

namespace quarry {
namespace {

// The file the content goes into, and its name in the entry's folder: empty while it has none.
struct Temporary {
  OwnedFile file;
  PathString name;
};

std::atomic<std::uint64_t> temporariesMade{0};

// Tries one new temporary name after another, as long as make answers that the name is taken.
template <typename Make>
FsResult underATemporaryName(Make make) {
  for (int attempt = 1;; ++attempt) {
    const FsResult result = make(temporaryName(currentProcessId(), ++temporariesMade));
    if (result.outcome != FsOutcome::Exists || attempt == TEMPORARY_ATTEMPTS) return result;
  }
}

// A file without a name where the system has them, else one under a temporary name.
FsResult makeTemporary(FileSystem& files, FsHandle folder, Temporary& out) {
  FsHandle handle = NO_FS_HANDLE;
  const FsResult unnamed = files.createUnnamed(folder, handle);
  if (unnamed.ok()) out.file = OwnedFile(files, handle);
  if (unnamed.outcome != FsOutcome::Unavailable) return unnamed;
  return underATemporaryName([&](PathString name) {
    const FsResult result = files.createFile(folder, name, handle);
    if (result.ok()) out = Temporary{OwnedFile(files, handle), std::move(name)};
    return result;
  });
}

// A file without a name cannot take one that is taken: it gets a temporary name first.
FsResult nameTemporary(FileSystem& files, FsHandle folder, Temporary& temporary) {
  if (!temporary.name.empty()) return {};
  return underATemporaryName([&](PathString name) {
    const FsResult result = files.nameFile(folder, temporary.file.get(), {}, name, Naming::IfFree);
    if (result.ok()) temporary.name = std::move(name);
    return result;
  });
}

// Closes the temporary and removes it, while its name still holds it.
void discard(FileSystem& files, FsHandle folder, Temporary& temporary) {
  FileIdentity identity;
  const bool named = !temporary.name.empty() && files.identify(temporary.file.get(), identity).ok();
  temporary.file.close();
  if (named) files.removeIfSame(folder, temporary.name, identity);
}

// Closes the file that has the entry's name now; a close that reports a late error (a delayed
// write that failed) removes it, while the name still holds it.
std::optional<OutputFailure> finish(FileSystem& files, FsHandle folder, const OutputPath& target,
                                    Temporary& written) {
  FileIdentity identity;
  const bool known = files.identify(written.file.get(), identity).ok();
  const FsResult closed = written.file.close();
  if (closed.ok()) return std::nullopt;
  if (known) files.removeIfSame(folder, leafOf(target), identity);
  return failureAt(OutputProblem::CannotWrite, target.path, closed.osError);
}

// A folder removed under the run answers in many ways (a name missing, a refusal): it is
// asked.
WriteAnswer failed(FileSystem& files, FsHandle folder, const OutputPath& target,
                   const FsResult& result) {
  WriteAnswer answer;
  answer.failure = failureAt(OutputProblem::CannotWrite, target.path, result.osError);
  if (result.outcome == FsOutcome::Missing || files.isRemoved(folder)) {
    answer.retry = Retry::FolderGone;
  }
  if (result.outcome == FsOutcome::TooManyOpen) answer.retry = Retry::OutOfHandles;
  return answer;
}

// A protected file, or anything but a regular file, is never replaced.
std::optional<OutputFailure> checkReplaceable(FileSystem& files, FsHandle folder,
                                              const OutputPath& target,
                                              const std::vector<ProtectedFile>& protectedFiles) {
  Node node;
  const FsResult inspected = files.inspect(folder, leafOf(target), node);
  if (!inspected.ok()) return failureAt(OutputProblem::CannotWrite, target.path, inspected.osError);
  switch (node.kind) {
    case NodeKind::Link:
      return failureAt(OutputProblem::LinkInTheWay, target.path);
    case NodeKind::Folder:
      return failureAt(OutputProblem::CannotWrite, target.path, isAFolderError());
    case NodeKind::Other:
      return failureAt(OutputProblem::NotARegularFile, target.path);
    case NodeKind::RegularFile:
      break;
  }
  for (const ProtectedFile& kept : protectedFiles) {
    if (kept.identity == node.identity) return failureAt(kept.problem, target.path);
  }
  return std::nullopt;
}

// Something stands at the name: it is kept, refused, or replaced by the written temporary in
// one step, so the old file and every other name it has keep their bytes until then and after.
WriteAnswer takeTheName(FileSystem& files, FsHandle folder, const OutputPath& target,
                        Temporary& written, ExistingFiles existing,
                        const std::vector<ProtectedFile>& protectedFiles) {
  WriteAnswer answer;
  if (existing == ExistingFiles::Keep) {
    discard(files, folder, written);
    answer.outcome = WriteOutcome::Kept;
    return answer;
  }
  if ((answer.failure = checkReplaceable(files, folder, target, protectedFiles))) {
    discard(files, folder, written);
    return answer;
  }
  FsResult result = nameTemporary(files, folder, written);
  if (result.ok()) {
    result =
        files.nameFile(folder, written.file.get(), written.name, leafOf(target), Naming::Replacing);
  }
  if (!result.ok()) {
    discard(files, folder, written);
    return failed(files, folder, target, result);
  }
  answer.failure = finish(files, folder, target, written);
  return answer;
}

WriteAnswer writeWhole(FileSystem& files, FsHandle folder, const OutputPath& target,
                       const Payload& payload, ExistingFiles existing,
                       const std::vector<ProtectedFile>& protectedFiles);

// Bytes copied from a container cut short may be zeros, and are not kept; an interrupt after
// the last chunk leaves the content whole, and it takes its name before the run stops.
FsResult writeContent(FileSystem& files, const Temporary& written, const Payload& payload) {
  const FsResult result = files.writePayload(written.file.get(), payload);
  if (result.ok() && stopCause() == StopCause::ContainerCutShort) return {FsOutcome::Stopped, 0};
  return result;
}

// A small new file, created at its name and written there; one that exists already is
// replaced through a temporary as any other.
WriteAnswer writeInPlace(FileSystem& files, FsHandle folder, const OutputPath& target,
                         const Payload& payload, ExistingFiles existing,
                         const std::vector<ProtectedFile>& protectedFiles) {
  FsHandle handle = NO_FS_HANDLE;
  const FsResult created = files.createFile(folder, leafOf(target), handle);
  if (created.outcome == FsOutcome::Exists) {
    return writeWhole(files, folder, target, payload, existing, protectedFiles);
  }
  if (!created.ok()) return failed(files, folder, target, created);
  Temporary written{OwnedFile(files, handle), PathString(leafOf(target))};
  const FsResult result = writeContent(files, written, payload);
  if (result.ok()) return {finish(files, folder, target, written)};
  discard(files, folder, written);
  return failed(files, folder, target, result);
}

WriteAnswer writeWhole(FileSystem& files, FsHandle folder, const OutputPath& target,
                       const Payload& payload, ExistingFiles existing,
                       const std::vector<ProtectedFile>& protectedFiles) {
  Temporary written;
  FsResult result = makeTemporary(files, folder, written);
  if (!result.ok()) return failed(files, folder, target, result);
  result = writeContent(files, written, payload);
  if (result.ok()) {
    result =
        files.nameFile(folder, written.file.get(), written.name, leafOf(target), Naming::IfFree);
  }
  if (result.ok()) return {finish(files, folder, target, written)};
  if (result.outcome == FsOutcome::Exists) {
    return takeTheName(files, folder, target, written, existing, protectedFiles);
  }
  discard(files, folder, written);
  return failed(files, folder, target, result);
}

}  // namespace

WriteAnswer writeFileIn(FileSystem& files, FsHandle folder, const OutputPath& target,
                        const Payload& payload, ExistingFiles existing,
                        const std::vector<ProtectedFile>& protectedFiles) {
  if (sizeOf(payload) < files.inPlaceLimit()) {
    return writeInPlace(files, folder, target, payload, existing, protectedFiles);
  }
  return writeWhole(files, folder, target, payload, existing, protectedFiles);
}

std::vector<ProtectedFile> filesToProtect(const std::vector<FileIdentity>& containers,
                                          const std::string& decoderFile) {
  std::vector<ProtectedFile> files;
  for (const FileIdentity& identity : containers) {
    files.push_back({identity, OutputProblem::IsTheContainer});
  }
  if (const auto decoder = decoderFile.empty() ? std::nullopt : regularFileAt(decoderFile)) {
    files.push_back({*decoder, OutputProblem::IsTheDecoder});
  }
  for (const StandardStream stream : {StandardStream::Output, StandardStream::Error}) {
    if (const auto output = regularFileOf(stream)) {
      files.push_back({*output, OutputProblem::IsQuarrysOutput});
    }
  }
  return files;
}

}  // namespace quarry
