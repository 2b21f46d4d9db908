#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"

namespace quarry {

int lastOsError() {
  return static_cast<int>(GetLastError());
}

std::string systemErrorText(int code) {
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD length = FormatMessageW(flags, nullptr, static_cast<DWORD>(code), 0,
                                      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string wide(reinterpret_cast<const char16_t*>(text), length);
  LocalFree(text);
  while (!wide.empty() && (wide.back() == u'\r' || wide.back() == u'\n' || wide.back() == u'.' ||
                           wide.back() == u' ')) {
    wide.pop_back();
  }
  return encodeLossless(wide);
}

}  // namespace quarry
