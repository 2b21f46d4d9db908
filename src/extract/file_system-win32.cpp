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
#include "base/stop_checked.h"
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
// FILE_DISPOSITION_INFORMATION_EX's flags: the file goes (or stays) when its last handle
// closes, set or cleared by the call.
constexpr ULONG DISPOSITION_DELETE = 0x1;
constexpr ULONG DISPOSITION_ON_CLOSE = 0x8;
constexpr auto FILE_DISPOSITION_INFORMATION_EX = static_cast<FILE_INFORMATION_CLASS>(64);

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

// Whether the file goes when its last handle closes, even when the process dies; false when
// the system cannot say so (older systems, Wine), and the file then stays until removed.
bool deleteOnClose(HANDLE file, bool remove) {
  ULONG flags = DISPOSITION_ON_CLOSE | (remove ? DISPOSITION_DELETE : 0);
  IO_STATUS_BLOCK io{};
  return NtSetInformationFile(file, &io, &flags, sizeof flags, FILE_DISPOSITION_INFORMATION_EX) >=
         0;
}

OsResult writeAllTo(HANDLE file, ByteSpan bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      return lastOsFailure();
    }
    if (written == 0) return OsResult{ERROR_WRITE_FAULT};
    bytes = bytes.subspan(written);
  }
  return {};
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
    if (!made.ok()) return answer(static_cast<DWORD>(made.osError));
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

  FsResult createUnnamed(FsHandle, FsHandle&) override { return {FsOutcome::Unavailable, 0}; }

  // The temporary goes with its last handle until nameFile names it, so a killed run leaves
  // none behind where the system allows.
  FsResult createFile(FsHandle parent, PathView name, FsHandle& out) override {
    HANDLE file = nullptr;
    const FsResult result = openBelow(handleOf(parent), name, FILE_ACCESS, FILE_SHARE_WRITE,
                                      FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
    out = reinterpret_cast<FsHandle>(file);
    if (result.ok()) goesOnClose_[out] = deleteOnClose(file, true);
    return result;
  }

  FsResult identify(FsHandle file, FileIdentity& out) override {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handleOf(file), &information)) return answer(GetLastError());
    out = identityOf(information);
    return {};
  }

  FsResult writePayload(FsHandle file, const Payload& payload) override {
    const ByteSpan bytes = std::holds_alternative<DecodedBytes>(payload)
                               ? std::get<DecodedBytes>(payload).bytes()
                               : std::get<StoredBytes>(payload).bytes;
    const OsResult written =
        writeStopChecked(bytes, [&](ByteSpan chunk) { return writeAllTo(handleOf(file), chunk); });
    if (written.stopped) return {FsOutcome::Stopped, 0};
    return answer(static_cast<DWORD>(written.osError));
  }

  // Renamed by its handle, relative to the folder's; a file that was to go on close stays.
  FsResult nameFile(FsHandle parent, FsHandle file, const PathString&, PathView name,
                    Naming naming) override {
    const auto goes = goesOnClose_.find(file);
    if (goes != goesOnClose_.end() && goes->second) {
      if (!deleteOnClose(handleOf(file), false)) return answer(GetLastError());
      goes->second = false;
    }
    const std::size_t nameBytes = name.size() * sizeof(char16_t);
    std::vector<std::uint8_t> buffer(sizeof(RenameRecord) + nameBytes);
    auto* record = reinterpret_cast<RenameRecord*>(buffer.data());
    record->replaceIfExists = naming == Naming::Replacing;
    record->rootDirectory = handleOf(parent);
    record->fileNameLength = static_cast<ULONG>(nameBytes);
    std::copy(name.begin(), name.end(), reinterpret_cast<char16_t*>(record->fileName));
    IO_STATUS_BLOCK io{};
    return answerStatus(NtSetInformationFile(
        handleOf(file), &io, record, static_cast<ULONG>(buffer.size()), FileRenameInformation));
  }

  FsResult listFolder(FsHandle folder, std::vector<PathString>& names) override {
    names.clear();
    WIN32_FIND_DATAW item{};
    const std::u16string pattern = joinBelow(paths_[folder], u"*");
    const HANDLE search = FindFirstFileExW(asWide(pattern), FindExInfoBasic, &item,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return answer(GetLastError());
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(item.cFileName));
      if (name != u"." && name != u"..") names.push_back(name);
    } while (FindNextFileW(search, &item));
    FindClose(search);
    return {};
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

  // Every new file goes through a temporary that goes when it closes, until it is named.
  std::uint64_t inPlaceLimit() const override { return 0; }

  FsResult closeFile(FsHandle file) override {
    goesOnClose_.erase(file);
    return CloseHandle(handleOf(file)) ? FsResult{} : answer(GetLastError());
  }

  void closeFolder(FsHandle folder) override {
    paths_.erase(folder);
    CloseHandle(handleOf(folder));
  }

  // Each open folder's path, for asking what stands at a name the way Wine answers.
  std::unordered_map<FsHandle, std::u16string> paths_;
  // Each temporary, and whether it is still to go when it closes.
  std::unordered_map<FsHandle, bool> goesOnClose_;

  bool isRemoved(FsHandle folder) override {
    FILE_STANDARD_INFO information{};
    return GetFileInformationByHandleEx(handleOf(folder), FileStandardInfo, &information,
                                        sizeof information) &&
           information.DeletePending;
  }
};

std::optional<FileIdentity> regularFileOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return std::nullopt;
  if (GetFileType(handle) != FILE_TYPE_DISK) return std::nullopt;
  if (!GetFileInformationByHandle(handle, &information)) return std::nullopt;
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return identityOf(information);
}

}  // namespace

std::unique_ptr<FileSystem> makeDiskFileSystem() {
  return std::make_unique<WindowsFileSystem>();
}

std::optional<FileIdentity> regularFileAt(const std::string& path) {
  const UniqueHandle file(CreateFileW(asWide(decodeLossless(path)), FILE_READ_ATTRIBUTES, SHARE_ALL,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  return file.valid() ? regularFileOfHandle(file.get()) : std::nullopt;
}

std::optional<FileIdentity> regularFileOf(StandardStream stream) {
  return regularFileOfHandle(
      GetStdHandle(stream == StandardStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE));
}

std::uint64_t currentProcessId() {
  return GetCurrentProcessId();
}

bool processRuns(std::uint64_t id) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

int isAFolderError() {
  return ERROR_ACCESS_DENIED;
}

}  // namespace quarry
