#include <windows.h>

#include <algorithm>

#include "extract/text.h"
#include "extract/writer.h"

namespace quarry {
namespace {

// Writes everything or returns the error number.
int writeAll(HANDLE file, const std::uint8_t* data, std::uint64_t length) {
  while (length > 0) {
    const auto chunk = static_cast<DWORD>(std::min(length, WRITE_CHUNK));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) return static_cast<int>(GetLastError());
    if (written == 0) return ERROR_WRITE_FAULT;
    data += written;
    length -= written;
  }
  return 0;
}

}  // namespace

// Windows writes from the mapping; the source file is not needed there.
int writeWholeFile(const std::u16string& path, const std::uint8_t* data, std::uint64_t length,
                   FileRange) {
  HANDLE file = CreateFileW(asWide(path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == nullptr || file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  const int code = writeAll(file, data, length);
  CloseHandle(file);
  if (code != 0) DeleteFileW(asWide(path));
  return code;
}

}  // namespace quarry
