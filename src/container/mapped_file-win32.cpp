#include <windows.h>

#include <utility>

#include "base/file_identity-win32.h"
#include "base/os_error.h"
#include "base/unicode.h"
#include "base/unique_handle-win32.h"
#include "base/wide-win32.h"
#include "container/mapped_file.h"

namespace quarry {
namespace {

OpenFailure lastError() {
  return OpenFailure(OpenProblem::CannotOpen, lastOsError());
}

}  // namespace

void MappedFile::release() {
  if (!bytes_.empty()) UnmapViewOfFile(bytes_.data());
  mapping_.reset();
  file_.reset();
  bytes_ = {};
}

std::optional<FileIdentity> MappedFile::identity() const {
  BY_HANDLE_FILE_INFORMATION information;
  if (!file_.valid() || !GetFileInformationByHandle(file_.get(), &information)) return std::nullopt;
  return identityOf(information);
}

// The working set is Windows' to trim; a mapped view's pages are shared with the file cache.
void MappedFile::releasePages(std::uint64_t, std::uint64_t) const {}

void MappedFile::boundFaults(const RegionSpans&) const {}

// The container is opened without FILE_SHARE_WRITE: no other program can cut it short.
void MappedFile::confirmWhole() const {}

std::optional<OpenFailure> mapWholeFile(const std::u16string& path, MappedFile& out) {
  out = MappedFile();
  UniqueHandle file(CreateFileW(asWide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return lastError();
  // A pipe or a device would not be a file of bytes to map.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) return OpenFailure(OpenProblem::NotARegularFile);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return lastError();
  if (size.QuadPart == 0) return OpenFailure(OpenProblem::Empty);
  const auto length = static_cast<std::uint64_t>(size.QuadPart);
  UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY,
                                          static_cast<DWORD>(length >> 32),
                                          static_cast<DWORD>(length), nullptr));
  if (!mapping.valid()) return lastError();
  const void* base = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(length));
  if (base == nullptr) return lastError();
  out.bytes_ = ByteSpan(static_cast<const std::uint8_t*>(base), length);
  out.mapping_ = std::move(mapping);
  out.file_ = std::move(file);
  return std::nullopt;
}

}  // namespace quarry
