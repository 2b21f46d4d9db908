#include <windows.h>

#include <locale.h>

#include <algorithm>

#include "base/os_error.h"
#include "extract/paths.h"

namespace quarry {
namespace {

// The narrow encoding that the C runtime and the file functions would use for this name.
UINT entryNameCodePage() {
  if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

}  // namespace

PathString nativePath(const std::u16string& path) {
  return path;
}

OutputPath joinOutputPath(PathView folder, PathView name) {
  OutputPath joined{joinBelow(folder, name), 0};
  joined.nameStart = joined.path.size() - name.size();
  std::replace(joined.path.begin() + static_cast<std::ptrdiff_t>(joined.nameStart),
               joined.path.end(), u'/', u'\\');
  return joined;
}

std::optional<NameFailure> convertEntryName(std::string_view name, std::u16string& wide) {
  wide.clear();
  if (name.empty()) return std::nullopt;
  const UINT codePage = entryNameCodePage();
  const int length = static_cast<int>(name.size());
  const int wideLength =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), length, nullptr, 0);
  if (wideLength > 0) {
    wide.resize(static_cast<std::size_t>(wideLength));
    auto* out = reinterpret_cast<wchar_t*>(wide.data());
    const int converted =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), length, out, wideLength);
    if (converted == wideLength) return std::nullopt;
  }
  const int error = lastOsError();
  wide.clear();
  return NameFailure(NameProblem::NotConvertible, error);
}

}  // namespace quarry
