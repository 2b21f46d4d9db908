#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"
#include "base/wide-win32.h"
#include "container/container_files.h"

namespace quarry {
namespace {

// One listing of a folder, closed with its owner.
class FolderListing {
 public:
  // Lists folder (as typed, ending in a separator or empty for the current one).
  explicit FolderListing(const std::u16string& folder) {
    const std::u16string pattern = folder + u"*";
    search_ = FindFirstFileExW(asWide(pattern), FindExInfoBasic, &item_, FindExSearchNameMatch,
                               nullptr, FIND_FIRST_EX_LARGE_FETCH);
    osError_ = search_ == INVALID_HANDLE_VALUE ? lastOsError() : 0;
    if (osError_ == ERROR_FILE_NOT_FOUND) osError_ = 0;  // nothing in it, not even "." and ".."
  }
  ~FolderListing() {
    if (search_ != INVALID_HANDLE_VALUE) FindClose(search_);
  }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  int osError() const { return osError_; }

  // Calls visit with every item but "." and "..", a link, junction or other reparse point
  // included (visit decides).
  template <typename Visit>
  void forEach(Visit visit) {
    if (search_ == INVALID_HANDLE_VALUE) return;
    do {
      const std::u16string name(reinterpret_cast<const char16_t*>(item_.cFileName));
      if (name != u"." && name != u"..") visit(name, item_.dwFileAttributes);
    } while (FindNextFileW(search_, &item_));
  }

 private:
  HANDLE search_ = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW item_{};
  int osError_ = 0;
};

bool isLink(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool isFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool endsInSeparator(const std::u16string& path) {
  return !path.empty() && (path.back() == u'\\' || path.back() == u'/' || path.back() == u':');
}

// Every .resources file below root + relative, no reparse point followed.
std::optional<FindFailure> walkFolder(const std::u16string& root, const std::u16string& relative,
                                      std::vector<ContainerFile>& files) {
  FolderListing listing(root + relative);
  if (listing.osError() != 0) {
    return FindFailure{FindProblem::CannotReadFolder, listing.osError(), root + relative};
  }
  std::optional<FindFailure> failure;
  listing.forEach([&](const std::u16string& name, DWORD attributes) {
    if (failure || isLink(attributes)) return;
    if (isFolder(attributes)) {
      failure = walkFolder(root, relative + name + u"\\", files);
    } else if (isContainerName(name)) {
      std::string shown = encodeLossless(relative + name);
      for (char& unit : shown) unit = unit == '\\' ? '/' : unit;
      files.push_back({root + relative + name, std::move(shown)});
    }
  });
  return failure;
}

// The files in the wildcard's folder that it matches, named as typed.
std::optional<FindFailure> expandWildcard(const std::u16string& argument, std::size_t start,
                                          ContainerFiles& out) {
  const std::u16string folder = argument.substr(0, start);
  const std::u16string wildcard = argument.substr(start);
  FolderListing listing(folder);
  if (listing.osError() != 0) {
    return FindFailure{FindProblem::CannotReadFolder, listing.osError(), argument};
  }
  listing.forEach([&](const std::u16string& name, DWORD attributes) {
    if (isLink(attributes) || isFolder(attributes) || !matchesWildcard(wildcard, name)) return;
    out.files.push_back({folder + name, encodeLossless(folder + name)});
  });
  if (out.files.empty()) return FindFailure{FindProblem::NoWildcardMatch, 0, argument};
  sortContainerFiles(out.files);
  out.several = true;
  return std::nullopt;
}

}  // namespace

bool isRegularFile(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(asWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !isFolder(attributes);
}

std::optional<FindFailure> findContainerFiles(const std::u16string& argument, ContainerFiles& out) {
  out = ContainerFiles();
  if (const std::size_t start = wildcardStart(argument); start != std::u16string::npos) {
    return expandWildcard(argument, start, out);
  }
  const DWORD attributes =
      argument.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(asWide(argument));
  if (attributes == INVALID_FILE_ATTRIBUTES || !isFolder(attributes)) {
    out.files.push_back({argument, encodeLossless(argument)});
    return std::nullopt;
  }
  const std::u16string root = endsInSeparator(argument) ? argument : argument + u"\\";
  if (auto failure = walkFolder(root, u"", out.files)) return failure;
  if (out.files.empty()) return FindFailure{FindProblem::NoContainerInFolder, 0, argument};
  sortContainerFiles(out.files);
  out.several = true;
  return std::nullopt;
}

}  // namespace quarry
