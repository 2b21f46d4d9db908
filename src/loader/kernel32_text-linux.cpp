// Text and the process's surroundings, for a Windows library that Quarry loaded: the command
// line, the environment, code page conversions and the standard handles. The ANSI code page
// is UTF-8, as Linux's text is.
#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>

#include "base/unicode.h"
#include "loader/kernel32-linux.h"
#include "loader/kernel32_parts-linux.h"

extern char** environ;

namespace quarry::kernel32 {
namespace {

constexpr unsigned CP_ACP = 0;
constexpr unsigned CP_THREAD_ACP = 3;
constexpr Dword WC_ERR_INVALID_CHARS = 0x80;
constexpr Dword MB_ERR_INVALID_CHARS = 0x08;
constexpr char16_t REPLACEMENT_CHARACTER = 0xFFFD;

constexpr Dword STD_INPUT_HANDLE = static_cast<Dword>(-10);
constexpr Dword STD_ERROR_HANDLE = static_cast<Dword>(-12);
const Handle INVALID_HANDLE_VALUE = reinterpret_cast<Handle>(-1);
// The standard handles are 0x1000, 0x1004 and 0x1008: standard input, output and error.
constexpr std::uintptr_t STANDARD_HANDLE_BASE = 0x1000;
constexpr std::uintptr_t HANDLE_STEP = 4;
constexpr Dword FILE_TYPE_UNKNOWN = 0;
constexpr Dword FILE_TYPE_DISK = 1;
constexpr Dword FILE_TYPE_CHAR = 2;
constexpr Dword FILE_TYPE_PIPE = 3;
constexpr std::size_t STARTUP_INFO_SIZE = 104;

// One argument as CommandLineToArgvW would split it back out.
std::string quoteArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

std::string commandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string arguments{std::istreambuf_iterator<char>(file), {}};
  std::string line;
  for (std::size_t at = 0; at < arguments.size();) {
    const std::size_t end = std::min(arguments.find('\0', at), arguments.size());
    if (!line.empty()) line += ' ';
    line += quoteArgument(std::string_view(arguments).substr(at, end - at));
    at = end + 1;
  }
  return line;
}

QUARRY_WINAPI const char* GetCommandLineA() {
  static const std::string line = commandLine();
  return line.c_str();
}

QUARRY_WINAPI WideChar* GetEnvironmentStringsW() {
  std::u16string block;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    block += decodeLossless(*entry);
    block += u'\0';
  }
  block.append(block.empty() ? 2 : 1, u'\0');
  auto* copy = static_cast<WideChar*>(std::malloc(block.size() * sizeof(WideChar)));
  if (copy == nullptr) return failWith<WideChar*>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  std::memcpy(copy, block.data(), block.size() * sizeof(WideChar));
  return copy;
}

QUARRY_WINAPI Bool FreeEnvironmentStringsW(WideChar* block) {
  std::free(block);
  return BOOL_TRUE;
}

bool isUtf8CodePage(unsigned codePage) {
  return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

// The text a conversion reads: a length of -1 runs through the terminating NUL, which counts.
template <typename Char>
bool textToConvert(const Char* text, int length, std::basic_string_view<Char>& out) {
  if (text == nullptr || length == 0 || length < -1) return false;
  const std::size_t size =
      length == -1 ? std::char_traits<Char>::length(text) + 1 : static_cast<std::size_t>(length);
  out = std::basic_string_view<Char>(text, size);
  return true;
}

// Windows' answer: the size needed when room is 0, else the size written, or a failure when
// it does not fit.
template <typename Char>
int deliver(const std::basic_string<Char>& converted, Char* out, int room) {
  if (converted.size() > INT_MAX) return failWith(ERROR_INSUFFICIENT_BUFFER, 0);
  const int size = static_cast<int>(converted.size());
  if (room == 0) return size;
  if (out == nullptr || room < size) return failWith(ERROR_INSUFFICIENT_BUFFER, 0);
  std::memcpy(out, converted.data(), converted.size() * sizeof(Char));
  return size;
}

bool isHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Replaces each unpaired surrogate by U+FFFD, as Windows does; false when there was any.
bool replaceUnpairedSurrogates(std::u16string& text) {
  bool clean = true;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (isHighSurrogate(text[k]) && k + 1 < text.size() && isLowSurrogate(text[k + 1])) {
      ++k;
    } else if (isHighSurrogate(text[k]) || isLowSurrogate(text[k])) {
      text[k] = REPLACEMENT_CHARACTER;
      clean = false;
    }
  }
  return clean;
}

QUARRY_WINAPI int WideCharToMultiByte(unsigned codePage, Dword flags, const WideChar* wide,
                                      int wideLength, char* multi, int multiLength, const char*,
                                      Bool* usedDefaultChar) {
  std::u16string_view input;
  if (!isUtf8CodePage(codePage) || !textToConvert(wide, wideLength, input) || multiLength < 0) {
    return failWith(ERROR_INVALID_PARAMETER, 0);
  }
  std::u16string text(input);
  if (!replaceUnpairedSurrogates(text) && (flags & WC_ERR_INVALID_CHARS) != 0) {
    return failWith(ERROR_NO_UNICODE_TRANSLATION, 0);
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = BOOL_FALSE;
  return deliver(encodeLossless(text), multi, multiLength);
}

QUARRY_WINAPI int MultiByteToWideChar(unsigned codePage, Dword flags, const char* multi,
                                      int multiLength, WideChar* wide, int wideLength) {
  std::string_view input;
  if (!isUtf8CodePage(codePage) || !textToConvert(multi, multiLength, input) || wideLength < 0) {
    return failWith(ERROR_INVALID_PARAMETER, 0);
  }
  // Bytes that are not UTF-8 come back as unpaired surrogates, so they are found here.
  std::u16string text = decodeLossless(input);
  if (!replaceUnpairedSurrogates(text) && (flags & MB_ERR_INVALID_CHARS) != 0) {
    return failWith(ERROR_NO_UNICODE_TRANSLATION, 0);
  }
  return deliver(text, wide, wideLength);
}

QUARRY_WINAPI unsigned GetACP() {
  return CP_UTF8;
}

QUARRY_WINAPI void GetStartupInfoW(void* info) {
  if (info == nullptr) return;
  std::memset(info, 0, STARTUP_INFO_SIZE);
  const auto size = static_cast<Dword>(STARTUP_INFO_SIZE);
  std::memcpy(info, &size, sizeof size);
}

bool isStandardId(Dword which) {
  return which <= STD_INPUT_HANDLE && which >= STD_ERROR_HANDLE;
}

// What SetStdHandle recorded for standard input, output and error, once it has.
std::mutex recordedLock;
Handle recordedHandles[3];
bool recorded[3] = {};

QUARRY_WINAPI Handle GetStdHandle(Dword which) {
  if (!isStandardId(which)) return failWith(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  const int descriptor = static_cast<int>(STD_INPUT_HANDLE - which);
  {
    const std::lock_guard<std::mutex> lock(recordedLock);
    if (recorded[descriptor]) return recordedHandles[descriptor];
  }
  if (fcntl(descriptor, F_GETFD) == -1) return nullptr;  // the process has none
  return reinterpret_cast<Handle>(STANDARD_HANDLE_BASE + HANDLE_STEP * descriptor);
}

// Only recorded: the handle a C runtime sets is what GetStdHandle answers afterwards, and
// WriteFile keeps writing each handle to its own stream.
QUARRY_WINAPI Bool SetStdHandle(Dword which, Handle handle) {
  if (!isStandardId(which)) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  const int descriptor = static_cast<int>(STD_INPUT_HANDLE - which);
  const std::lock_guard<std::mutex> lock(recordedLock);
  recordedHandles[descriptor] = handle;
  recorded[descriptor] = true;
  return BOOL_TRUE;
}

}  // namespace

bool standardDescriptor(Handle handle, int& descriptor) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < STANDARD_HANDLE_BASE || (value - STANDARD_HANDLE_BASE) % HANDLE_STEP != 0) {
    return false;
  }
  descriptor = static_cast<int>((value - STANDARD_HANDLE_BASE) / HANDLE_STEP);
  return descriptor <= 2;
}

namespace {

QUARRY_WINAPI Dword GetFileType(Handle handle) {
  int descriptor = -1;
  struct stat status {};
  if (!standardDescriptor(handle, descriptor) || fstat(descriptor, &status) != 0) {
    return failWith(ERROR_INVALID_HANDLE, FILE_TYPE_UNKNOWN);
  }
  if (S_ISCHR(status.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_DISK;
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetCommandLineA),
    QUARRY_KERNEL32_FUNCTION(GetEnvironmentStringsW),
    QUARRY_KERNEL32_FUNCTION(FreeEnvironmentStringsW),
    QUARRY_KERNEL32_FUNCTION(WideCharToMultiByte),
    QUARRY_KERNEL32_FUNCTION(MultiByteToWideChar),
    QUARRY_KERNEL32_FUNCTION(GetACP),
    QUARRY_KERNEL32_FUNCTION(GetStartupInfoW),
    QUARRY_KERNEL32_FUNCTION(GetStdHandle),
    QUARRY_KERNEL32_FUNCTION(SetStdHandle),
    QUARRY_KERNEL32_FUNCTION(GetFileType),
};

}  // namespace

std::span<const Function> textFunctions() {
  return FUNCTIONS;
}

}  // namespace quarry::kernel32

namespace quarry {

void* standardHandle(int descriptor) {
  using namespace kernel32;
  return GetStdHandle(STD_INPUT_HANDLE - static_cast<Dword>(descriptor));
}

std::string windowsCommandLine() {
  return kernel32::GetCommandLineA();
}

}  // namespace quarry
