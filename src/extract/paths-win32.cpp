#include <windows.h>

#include <locale.h>

#include "extract/os_error.h"
#include "extract/paths.h"

namespace quarry {
namespace {

// The narrow encoding that the C runtime and the file functions would use for this name.
UINT entryNameCodePage() {
  if (___lc_codepage_func() == CP_UTF8) return CP_UTF8;
  return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

bool conversionFailed(std::string& why) {
  why = "its name cannot be converted: " + osErrorText(lastOsError());
  return false;
}

}  // namespace

bool convertEntryName(std::string_view name, std::u16string& wide, std::string& why) {
  wide.clear();
  if (name.empty()) return true;
  const UINT codePage = entryNameCodePage();
  const int length = static_cast<int>(name.size());
  const int wideLength =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), length, nullptr, 0);
  if (wideLength <= 0) return conversionFailed(why);
  wide.resize(static_cast<std::size_t>(wideLength));
  auto* out = reinterpret_cast<wchar_t*>(wide.data());
  if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, name.data(), length, out, wideLength) !=
      wideLength) {
    wide.clear();
    return conversionFailed(why);
  }
  return true;
}

}  // namespace quarry
