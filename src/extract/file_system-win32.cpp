// The output side's file-system calls on Windows: every folder and file below the output
// folder is opened relative to its folder's handle (NtCreateFile with a root directory), one
// component at a time, never through a reparse point; folders are held without delete
// sharing, so none of them can be swapped for a junction while the run holds it.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "base/file_identity-win32.h"
#include "base/os_error.h"
#include "base/stop.h"
#include "base/unicode.h"
#include "base/unique_handle-win32.h"
#include "base/wide-win32.h"
#include "extract/directories.h"
#include "extract/file_system.h"

namespace quarry {
namespace {

constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Held folders may be read and written in, but not renamed or removed.
constexpr ULONG SHARE_FOLDER = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK FOLDER_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
constexpr ACCESS_MASK FILE_ACCESS = GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES;
constexpr std::size_t STOP_CHECK_CHUNK = std::size_t{8} << 20;

FsResult answer(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return {};
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return {FsOutcome::Exists, static_cast<int>(code)};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {FsOutcome::Missing, static_cast<int>(code)};
    case ERROR_DIRECTORY:
      return {FsOutcome::NotAFolder, static_cast<int>(code)};
    case ERROR_TOO_MANY_OPEN_FILES:
      return {FsOutcome::TooManyOpen, static_cast<int>(code)};
    default:
      return {FsOutcome::Failed, static_cast<int>(code)};
  }
}

FsResult answerStatus(NTSTATUS status) {
  return answer(status >= 0 ? ERROR_SUCCESS : RtlNtStatusToDosError(status));
}

HANDLE handleOf(FsHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// One component below the folder root, the reparse point at that name itself opened, not
// what it points to.
FsResult openBelow(HANDLE root, std::u16string_view name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, HANDLE& out) {
  UNICODE_STRING text;
  text.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(name.data()));
  text.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  out = nullptr;
  const NTSTATUS status = NtCreateFile(
      &out, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
      disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  if (status < 0) out = nullptr;
  return answerStatus(status);
}

// What stands at the path is a reparse point, asked by name as GetFileAttributesW sees it (Wine
// shows a link as one only that way, not through a handle opened on it).
bool isReparsePoint(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(asWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

FsResult describe(HANDLE handle, Node& node) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return answer(GetLastError());
  node.identity = identityOf(information);
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    node.kind = NodeKind::Link;
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    node.kind = NodeKind::Folder;
  } else {
    node.kind = GetFileType(handle) == FILE_TYPE_DISK ? NodeKind::RegularFile : NodeKind::Other;
  }
  return {};
}

// A folder component: refused when a reparse point stands there. basePath is base's path.
FsResult openOneFolder(HANDLE base, const std::u16string& basePath, std::u16string_view name,
                       HANDLE& out) {
  out = nullptr;
  if (isReparsePoint(joinBelow(basePath, name))) return {FsOutcome::Link, ERROR_CANT_ACCESS_FILE};
  HANDLE opened = nullptr;
  FsResult result =
      openBelow(base, name, FOLDER_ACCESS, SHARE_FOLDER, FILE_OPEN, FILE_DIRECTORY_FILE, opened);
  UniqueHandle folder(opened);
  if (!result.ok()) return result;
  Node node;
  result = describe(folder.get(), node);
  if (result.ok() && node.kind == NodeKind::Link) {
    result = {FsOutcome::Link, ERROR_CANT_ACCESS_FILE};
  }
  if (result.ok()) out = folder.release();
  return result;
}

std::vector<std::u16string_view> componentsOf(std::u16string_view path) {
  std::vector<std::u16string_view> components;
  forEachComponent(path, [&components](std::u16string_view name) { components.push_back(name); });
  return components;
}

FsResult makeOnDisk(const std::u16string& folder) {
  if (CreateDirectoryW(asWide(folder), nullptr)) return {};
  const auto code = static_cast<int>(GetLastError());
  if (code == ERROR_ALREADY_EXISTS) return {FsOutcome::Exists, code};
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
    return {FsOutcome::Missing, code};
  }
  return {FsOutcome::Failed, code};
}

LONG temporaries = 0;

std::u16string temporaryName() {
  const std::string name = ".quarry-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(InterlockedIncrement(&temporaries)) + ".part";
  return std::u16string(name.begin(), name.end());
}

// The rename's record: the new name, relative to the folder's handle.
struct RenameRecord {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};

class WindowsFileSystem final : public FileSystem {
 public:
  FsResult openOutputFolder(const PathString& folder, FsHandle& out) override {
    const std::u16string path = folder.empty() ? u"." : folder;
    const FsResult made = makeFolderPath(path, makeOnDisk);
    if (!made.ok()) return answer(static_cast<DWORD>(made.code));
    UniqueHandle folderHandle(CreateFileW(asWide(path), FOLDER_ACCESS, SHARE_FOLDER, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folderHandle.valid()) return answer(GetLastError());
    // Backup semantics open a file as readily as a folder.
    Node node;
    FsResult result = describe(folderHandle.get(), node);
    if (result.ok() && node.kind == NodeKind::RegularFile) result = answer(ERROR_DIRECTORY);
    if (!result.ok()) return result;
    out = reinterpret_cast<FsHandle>(folderHandle.release());
    paths_[out] = path;
    return {};
  }

  FsResult openFolder(FsHandle base, PathView relative, FsHandle& out) override {
    UniqueHandle current;
    std::u16string path = paths_[base];
    for (const std::u16string_view name : componentsOf(relative)) {
      HANDLE next = nullptr;
      const HANDLE from = current.valid() ? current.get() : handleOf(base);
      const FsResult result = openOneFolder(from, path, name, next);
      current.reset(next);
      if (!result.ok()) return result;
      path = joinBelow(path, name);
    }
    out = reinterpret_cast<FsHandle>(current.release());
    paths_[out] = std::move(path);
    return {};
  }

  FsResult makeFolder(FsHandle parent, PathView name) override {
    HANDLE made = nullptr;
    const FsResult result = openBelow(handleOf(parent), name, FOLDER_ACCESS, SHARE_ALL, FILE_CREATE,
                                      FILE_DIRECTORY_FILE, made);
    UniqueHandle closedNow(made);
    return result;
  }

  FsResult inspect(FsHandle parent, PathView name, Node& node) override {
    if (isReparsePoint(joinBelow(paths_[parent], name))) {
      node.kind = NodeKind::Link;
      return {};
    }
    HANDLE opened = nullptr;
    const FsResult result =
        openBelow(handleOf(parent), name, FILE_READ_ATTRIBUTES, SHARE_ALL, FILE_OPEN, 0, opened);
    const UniqueHandle probe(opened);
    if (!result.ok()) return result;
    return describe(probe.get(), node);
  }

  FsResult createFile(FsHandle parent, PathView name, FsHandle& out) override {
    const std::size_t slash = name.find_last_of(u"\\/");
    if (slash != PathView::npos) {  // a path below parent: its folders walked
      FsHandle folder = NO_FS_HANDLE;
      const FsResult reached = openFolder(parent, name.substr(0, slash), folder);
      if (!reached.ok()) return reached;
      const FsResult result = createFile(folder, name.substr(slash + 1), out);
      closeFolder(folder);
      return result;
    }
    HANDLE file = nullptr;
    const FsResult result = openBelow(handleOf(parent), name, FILE_ACCESS, FILE_SHARE_WRITE,
                                      FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
    out = reinterpret_cast<FsHandle>(file);
    return result;
  }

  FsResult createTemporary(FsHandle parent, FsHandle& out, PathString& name) override {
    for (int attempt = 0;; ++attempt) {
      name = temporaryName();
      const FsResult result = createFile(parent, name, out);
      if (result.outcome != FsOutcome::Exists || attempt == 8) return result;
    }
  }

  FsResult identify(FsHandle file, FileIdentity& out) override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handleOf(file), &information)) return answer(GetLastError());
    out = identityOf(information);
    return {};
  }

  FsResult writePayload(FsHandle file, const Payload& payload) override {
    ByteSpan bytes = std::holds_alternative<DecodedBytes>(payload)
                         ? std::get<DecodedBytes>(payload).bytes()
                         : std::get<StoredBytes>(payload).bytes;
    while (!bytes.empty()) {
      if (stopRequested()) return {FsOutcome::Stopped, 0};
      const auto chunk = static_cast<DWORD>(std::min(bytes.size(), STOP_CHECK_CHUNK));
      DWORD written = 0;
      if (!WriteFile(handleOf(file), bytes.data(), chunk, &written, nullptr)) {
        return answer(GetLastError());
      }
      if (written == 0) return answer(ERROR_WRITE_FAULT);
      bytes = bytes.subspan(written);
    }
    return {};
  }

  FsResult replaceWith(FsHandle parent, FsHandle temporary, const PathString&,
                       PathView name) override {
    const std::size_t nameBytes = name.size() * sizeof(char16_t);
    std::vector<std::uint8_t> buffer(sizeof(RenameRecord) + nameBytes);
    auto* record = reinterpret_cast<RenameRecord*>(buffer.data());
    record->replaceIfExists = TRUE;
    record->rootDirectory = handleOf(parent);
    record->fileNameLength = static_cast<ULONG>(nameBytes);
    std::copy(name.begin(), name.end(), reinterpret_cast<char16_t*>(record->fileName));
    IO_STATUS_BLOCK io{};
    return answerStatus(NtSetInformationFile(handleOf(temporary), &io, record,
                                             static_cast<ULONG>(buffer.size()),
                                             FileRenameInformation));
  }

  FsResult removeIfSame(FsHandle parent, PathView name, const FileIdentity& expected) override {
    HANDLE opened = nullptr;
    FsResult result = openBelow(handleOf(parent), name, DELETE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                                FILE_OPEN, FILE_NON_DIRECTORY_FILE, opened);
    const UniqueHandle file(opened);
    if (!result.ok()) return result;
    FileIdentity found;
    result = identify(reinterpret_cast<FsHandle>(file.get()), found);
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (result.ok() && found == expected &&
        !SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
      result = answer(GetLastError());
    }
    return result;
  }

  FsResult closeFile(FsHandle file) override {
    return CloseHandle(handleOf(file)) ? FsResult{} : answer(GetLastError());
  }

  void closeFolder(FsHandle folder) override {
    paths_.erase(folder);
    CloseHandle(handleOf(folder));
  }

  // Each open folder's path, for asking what stands at a name the way Wine answers.
  std::unordered_map<FsHandle, std::u16string> paths_;

  bool isRemoved(FsHandle folder) override {
    FILE_STANDARD_INFO information{};
    return GetFileInformationByHandleEx(handleOf(folder), FileStandardInfo, &information,
                                        sizeof information) &&
           information.DeletePending;
  }
};

void protectHandle(std::vector<ProtectedFile>& files, HANDLE handle, OutputProblem problem) {
  BY_HANDLE_FILE_INFORMATION information;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (GetFileType(handle) != FILE_TYPE_DISK) return;
  if (GetFileInformationByHandle(handle, &information)) {
    files.push_back({identityOf(information), problem});
  }
}

}  // namespace

std::unique_ptr<FileSystem> makeDiskFileSystem() {
  return std::make_unique<WindowsFileSystem>();
}

std::vector<ProtectedFile> filesToProtect(const std::vector<FileIdentity>& containers,
                                          const std::string& decoderFile) {
  std::vector<ProtectedFile> files;
  for (const FileIdentity& identity : containers) {
    files.push_back({identity, OutputProblem::IsTheContainer});
  }
  if (!decoderFile.empty()) {
    const UniqueHandle decoder(CreateFileW(asWide(decodeLossless(decoderFile)),
                                           FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                           0, nullptr));
    if (decoder.valid()) protectHandle(files, decoder.get(), OutputProblem::IsTheDecoder);
  }
  protectHandle(files, GetStdHandle(STD_OUTPUT_HANDLE), OutputProblem::IsQuarrysOutput);
  protectHandle(files, GetStdHandle(STD_ERROR_HANDLE), OutputProblem::IsQuarrysOutput);
  return files;
}

int isAFolderError() {
  return ERROR_ACCESS_DENIED;
}

}  // namespace quarry
