// The KERNEL32 table, and the functions about modules, errors and pointers.
#include "decoder/kernel32-linux.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <climits>
#include <cstring>

#include "base/unicode.h"
#include "decoder/kernel32_parts-linux.h"

namespace quarry {
namespace kernel32 {
namespace {

// Only its address matters: GetModuleHandleW's answer for KERNEL32 itself, which
// GetProcAddress accepts.
char kernel32Module;

struct LoadedLibrary {
  void* base = nullptr;
  std::string path;
};
LoadedLibrary loaded;

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// A module name matches a file name with or without its ".dll", as LoadLibrary's do.
bool namesModule(std::string_view name, std::string_view file) {
  constexpr std::string_view extension = ".dll";
  const bool hasExtension =
      file.size() > extension.size() &&
      equalIgnoringCase(file.substr(file.size() - extension.size()), extension);
  const std::string_view stem = file.substr(0, file.size() - (hasExtension ? extension.size() : 0));
  return equalIgnoringCase(name, file) || equalIgnoringCase(name, stem);
}

std::string_view fileNameOf(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

QUARRY_WINAPI Handle GetModuleHandleW(const WideChar* name) {
  if (name == nullptr) {
    // No Windows program image exists here; the library's own image is the one that does.
    return loaded.base != nullptr ? loaded.base : failWith<Handle>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  const std::string module = encodeLossless(name);
  if (isKernel32(module)) return &kernel32Module;
  if (loaded.base != nullptr && namesModule(module, fileNameOf(loaded.path))) return loaded.base;
  return failWith<Handle>(ERROR_MOD_NOT_FOUND, nullptr);
}

// A name pointer at or below 0xFFFF is an ordinal, which the table has none of.
QUARRY_WINAPI void* GetProcAddress(Handle module, const char* name) {
  const bool byName = reinterpret_cast<std::uintptr_t>(name) > 0xFFFF;
  void* function = module == &kernel32Module && byName ? kernel32Function(name) : nullptr;
  return function != nullptr ? function : failWith<void*>(ERROR_PROC_NOT_FOUND, nullptr);
}

std::string programPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

// Too small a buffer gets as much as fits with a NUL, its size as the answer, and an error.
QUARRY_WINAPI Dword GetModuleFileNameA(Handle module, char* buffer, Dword size) {
  const bool ours = module == nullptr || (module == loaded.base && loaded.base != nullptr);
  if (!ours) return failWith<Dword>(ERROR_MOD_NOT_FOUND, 0);
  if (buffer == nullptr || size == 0) return failWith<Dword>(ERROR_INSUFFICIENT_BUFFER, 0);
  const std::string path = module == nullptr ? programPath() : loaded.path;
  const std::size_t copied = std::min<std::size_t>(path.size(), size - 1);
  std::memcpy(buffer, path.data(), copied);
  buffer[copied] = '\0';
  if (copied < path.size()) return failWith(ERROR_INSUFFICIENT_BUFFER, size);
  return static_cast<Dword>(copied);
}

QUARRY_WINAPI Dword GetLastError() {
  return lastError();
}

QUARRY_WINAPI void SetLastError(Dword code) {
  setLastError(code);
}

std::uint64_t randomCookie() {
  std::uint64_t cookie = 0;
  if (getrandom(&cookie, sizeof cookie, 0) != sizeof cookie) {
    cookie = reinterpret_cast<std::uintptr_t>(&cookie) ^ static_cast<std::uint64_t>(getpid());
  }
  return cookie;
}

// Windows' scheme: a per-process secret, XORed in and rotated by its low six bits.
std::uint64_t pointerCookie() {
  static const std::uint64_t cookie = randomCookie();
  return cookie;
}

QUARRY_WINAPI void* EncodePointer(void* pointer) {
  const std::uint64_t cookie = pointerCookie();
  const std::uint64_t value = reinterpret_cast<std::uintptr_t>(pointer) ^ cookie;
  return reinterpret_cast<void*>(std::rotr(value, static_cast<int>(cookie & 63)));
}

QUARRY_WINAPI void* DecodePointer(void* pointer) {
  const std::uint64_t cookie = pointerCookie();
  const std::uint64_t value = reinterpret_cast<std::uintptr_t>(pointer);
  return reinterpret_cast<void*>(std::rotl(value, static_cast<int>(cookie & 63)) ^ cookie);
}

const Function FUNCTIONS[] = {
    QUARRY_KERNEL32_FUNCTION(GetModuleHandleW),   QUARRY_KERNEL32_FUNCTION(GetProcAddress),
    QUARRY_KERNEL32_FUNCTION(GetModuleFileNameA), QUARRY_KERNEL32_FUNCTION(GetLastError),
    QUARRY_KERNEL32_FUNCTION(SetLastError),       QUARRY_KERNEL32_FUNCTION(EncodePointer),
    QUARRY_KERNEL32_FUNCTION(DecodePointer),
};

std::span<const Function> moduleFunctions() {
  return FUNCTIONS;
}

}  // namespace
}  // namespace kernel32

bool isKernel32(std::string_view module) {
  return kernel32::namesModule(module, "kernel32.dll");
}

void* kernel32Function(std::string_view name) {
  using namespace kernel32;
  for (const auto part :
       {moduleFunctions, memoryFunctions, textFunctions, threadFunctions, systemFunctions}) {
    for (const Function& function : part()) {
      if (function.name == name) return function.address;
    }
  }
  return nullptr;
}

void setLoadedLibrary(void* base, std::string path) {
  kernel32::loaded = {base, std::move(path)};
}

}  // namespace quarry
