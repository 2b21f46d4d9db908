#include <windows.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "app/standard_output.h"

namespace quarry {
namespace {

// The most one WriteFile is asked to carry, well below what a DWORD counts.
constexpr std::size_t WRITE_CHUNK = std::size_t{1} << 30;

// The C runtime writes std::cout in text mode: the list keeps the same line ends.
std::string withCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

OsResult writeStandardOutput(std::string_view text) {
  std::cout.flush();
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const std::string bytes = withCrLf(text);
  for (std::size_t at = 0; at < bytes.size();) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size() - at, WRITE_CHUNK));
    DWORD written = 0;
    if (!WriteFile(output, bytes.data() + at, chunk, &written, nullptr)) return lastOsFailure();
    if (written == 0) return OsResult{ERROR_WRITE_FAULT};
    at += written;
  }
  return {};
}

// Windows has no SIGPIPE: its own tools say that the pipe was closed, with status 1.
std::optional<int> quietStatusForLostOutput(int) {
  return std::nullopt;
}

}  // namespace quarry
