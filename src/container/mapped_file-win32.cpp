#include <windows.h>

#include "container/mapped_file.h"
#include "extract/os_error.h"
#include "extract/text.h"

namespace quarry {
namespace {

std::string reasonFor(const std::u16string& path, const std::string& what) {
  return "Cannot open " + pathForMessage(path) + ": " + what;
}

bool lastErrorReason(const std::u16string& path, std::string& why) {
  why = reasonFor(path, osErrorText(lastOsError()));
  return false;
}

}  // namespace

// The working set is Windows' to trim; a mapped view's pages are shared with the file cache.
void releaseMappedPages(const std::uint8_t*, std::uint64_t) {}

// The container is opened without FILE_SHARE_WRITE: no other program can cut it short.
bool MappedFile::shrank() const {
  return false;
}

void MappedFile::markShrunk() const {}

bool MappedFile::confirmWhole() const {
  return true;
}

void MappedFile::release() {
  if (bytes_.data != nullptr) UnmapViewOfFile(bytes_.data);
  if (mapping_ != NO_HANDLE) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
  if (file_ != NO_HANDLE) CloseHandle(reinterpret_cast<HANDLE>(file_));
  bytes_ = {};
  mapping_ = NO_HANDLE;
  file_ = NO_HANDLE;
}

bool mapWholeFile(const std::u16string& path, MappedFile& out, std::string& why) {
  out.release();
  HANDLE file = CreateFileW(asWide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lastErrorReason(path, why);
  out.file_ = reinterpret_cast<std::intptr_t>(file);
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a pipe or a device
    why = reasonFor(path, "not a regular file");
    out.release();
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) {
    lastErrorReason(path, why);
    out.release();
    return false;
  }
  if (size.QuadPart == 0) {
    why = reasonFor(path, "the file is empty");
    out.release();
    return false;
  }
  const auto high = static_cast<DWORD>(static_cast<std::uint64_t>(size.QuadPart) >> 32);
  const auto low = static_cast<DWORD>(size.QuadPart);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, high, low, nullptr);
  if (mapping == nullptr) {
    lastErrorReason(path, why);
    out.release();
    return false;
  }
  out.mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  const void* base =
      MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
  if (base == nullptr) {
    lastErrorReason(path, why);
    out.release();
    return false;
  }
  out.bytes_ = {static_cast<const std::uint8_t*>(base), static_cast<std::uint64_t>(size.QuadPart)};
  return true;
}

}  // namespace quarry
