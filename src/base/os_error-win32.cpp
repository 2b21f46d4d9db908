#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"

namespace quarry {

int lastOsError() {
  return static_cast<int>(GetLastError());
}

std::string osErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length = FormatMessageW(flags, nullptr, static_cast<DWORD>(code), 0,
                                      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string fetched(reinterpret_cast<const char16_t*>(text), length);
  LocalFree(text);
  // Fetched without its inserts: each place one would go ("%1 is not a valid Win32
  // application") says "it", never the bare placeholder.
  std::u16string wide;
  for (std::size_t k = 0; k < fetched.size(); ++k) {
    if (fetched[k] == u'%' && k + 1 < fetched.size() && fetched[k + 1] >= u'1' &&
        fetched[k + 1] <= u'9') {
      wide += u"it";
      while (k + 1 < fetched.size() && fetched[k + 1] >= u'0' && fetched[k + 1] <= u'9') ++k;
      continue;
    }
    wide += fetched[k];
  }
  while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u'.' ||
                           wide.back() == u' ')) {
    wide.pop_back();
  }
  if (wide.empty()) return "error " + std::to_string(code);
  return encodeLossless(wide);
}

}  // namespace quarry
