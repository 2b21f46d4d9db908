// The KERNEL32 table, and the functions about modules, errors and pointers. Other libraries
// are never loaded: asked for one, the answer is Windows' for a library that is not there.
#include "loader/kernel32-linux.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "base/ascii_case.h"
#include "base/program_path.h"
#include "base/unicode.h"
#include "loader/kernel32_parts-linux.h"
#include "loader/pe_format.h"

namespace quarry {
namespace kernel32 {
namespace {

// Only its address matters: GetModuleHandleW's answer for KERNEL32 itself, which
// GetProcAddress accepts.
char kernel32Module;

LoadedImage loaded;

constexpr Dword GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

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

// A module by name: KERNEL32 (and its API sets) or the library itself; null for the program
// image, which here is the library's.
Handle moduleNamed(const std::string* module) {
  if (module == nullptr) {
    return loaded.base != nullptr ? loaded.base : failWith<Handle>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  if (isKernel32(*module)) return &kernel32Module;
  if (loaded.base != nullptr && namesModule(*module, fileNameOf(loaded.path))) return loaded.base;
  return failWith<Handle>(ERROR_MOD_NOT_FOUND, nullptr);
}

bool insideLibrary(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const auto base = reinterpret_cast<std::uintptr_t>(loaded.base);
  return loaded.base != nullptr && at >= base && at - base < loaded.size;
}

QUARRY_WINAPI Handle GetModuleHandleW(const WideChar* name) {
  if (name == nullptr) return moduleNamed(nullptr);
  const std::string module = encodeLossless(name);
  return moduleNamed(&module);
}

QUARRY_WINAPI Handle GetModuleHandleA(const char* name) {
  if (name == nullptr) return moduleNamed(nullptr);
  const std::string module = name;
  return moduleNamed(&module);
}

// Modules stay loaded for the whole run, so no reference is counted.
QUARRY_WINAPI Bool GetModuleHandleExW(Dword flags, const WideChar* name, Handle* module) {
  if (module == nullptr) return failWith(ERROR_INVALID_PARAMETER, BOOL_FALSE);
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    *module = insideLibrary(name) ? loaded.base : nullptr;
    return *module != nullptr ? BOOL_TRUE : failWith(ERROR_MOD_NOT_FOUND, BOOL_FALSE);
  }
  *module = GetModuleHandleW(name);
  return *module != nullptr ? BOOL_TRUE : BOOL_FALSE;
}

// Only modules already in the process load: no other library is ever run.
QUARRY_WINAPI Handle LoadLibraryExW(const WideChar* name, Handle, Dword) {
  if (name == nullptr) return failWith<Handle>(ERROR_INVALID_PARAMETER, nullptr);
  const std::string module = encodeLossless(name);
  return moduleNamed(&module);
}

QUARRY_WINAPI Handle LoadLibraryW(const WideChar* name) {
  return LoadLibraryExW(name, nullptr, 0);
}

QUARRY_WINAPI Bool FreeLibrary(Handle module) {
  if (module == &kernel32Module || (module != nullptr && module == loaded.base)) return BOOL_TRUE;
  return failWith(ERROR_INVALID_HANDLE, BOOL_FALSE);
}

// A name pointer at or below 0xFFFF is an ordinal, which the table has none of.
QUARRY_WINAPI void* GetProcAddress(Handle module, const char* name) {
  const bool byName = reinterpret_cast<std::uintptr_t>(name) > 0xFFFF;
  void* function = module == &kernel32Module && byName ? kernel32Function(name) : nullptr;
  return function != nullptr ? function : failWith<void*>(ERROR_PROC_NOT_FOUND, nullptr);
}

// Too small a buffer gets as much as fits with a NUL, its size as the answer, and an error.
template <typename Text>
Dword deliverPath(const Text& path, typename Text::value_type* buffer, Dword size) {
  if (buffer == nullptr || size == 0) return failWith<Dword>(ERROR_INSUFFICIENT_BUFFER, 0);
  const std::size_t copied = std::min<std::size_t>(path.size(), size - 1);
  std::copy_n(path.data(), copied, buffer);
  buffer[copied] = 0;
  if (copied < path.size()) return failWith(ERROR_INSUFFICIENT_BUFFER, size);
  return static_cast<Dword>(copied);
}

bool pathOfModule(Handle module, std::string& path) {
  const bool ours = module == nullptr || (module == loaded.base && loaded.base != nullptr);
  if (ours) path = module == nullptr ? programPath() : loaded.path;
  return ours;
}

QUARRY_WINAPI Dword GetModuleFileNameA(Handle module, char* buffer, Dword size) {
  std::string path;
  if (!pathOfModule(module, path)) return failWith<Dword>(ERROR_MOD_NOT_FOUND, 0);
  return deliverPath(path, buffer, size);
}

QUARRY_WINAPI Dword GetModuleFileNameW(Handle module, WideChar* buffer, Dword size) {
  std::string path;
  if (!pathOfModule(module, path)) return failWith<Dword>(ERROR_MOD_NOT_FOUND, 0);
  return deliverPath(decodeLossless(path), buffer, size);
}

// The image that holds pc, and its base: only the library's is a Windows image here.
QUARRY_WINAPI void* RtlPcToFileHeader(void* pc, void** base) {
  if (base == nullptr) return nullptr;
  *base = insideLibrary(pc) ? loaded.base : nullptr;
  return *base;
}

// The library's .pdata record whose range holds pc, found by halving; null for a leaf
// function or code outside the library, as on Windows.
QUARRY_WINAPI void* RtlLookupFunctionEntry(std::uint64_t pc, std::uint64_t* imageBase, void*) {
  if (imageBase != nullptr) *imageBase = 0;
  if (!insideLibrary(reinterpret_cast<void*>(pc))) return nullptr;
  const auto rva = static_cast<std::uint32_t>(pc - reinterpret_cast<std::uintptr_t>(loaded.base));
  std::uint8_t* table = loaded.base + loaded.functionTable;
  std::uint32_t low = 0, high = loaded.functionCount;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    std::uint8_t* record = table + middle * pe::RUNTIME_FUNCTION_SIZE;
    if (rva < fieldAt<std::uint32_t>(record, 0)) {
      high = middle;
    } else if (rva >= fieldAt<std::uint32_t>(record, 4)) {
      low = middle + 1;
    } else {
      if (imageBase != nullptr) *imageBase = reinterpret_cast<std::uintptr_t>(loaded.base);
      return record;
    }
  }
  return nullptr;
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
    QUARRY_KERNEL32_FUNCTION(GetModuleHandleW),       QUARRY_KERNEL32_FUNCTION(GetModuleHandleA),
    QUARRY_KERNEL32_FUNCTION(GetModuleHandleExW),     QUARRY_KERNEL32_FUNCTION(LoadLibraryExW),
    QUARRY_KERNEL32_FUNCTION(LoadLibraryW),           QUARRY_KERNEL32_FUNCTION(FreeLibrary),
    QUARRY_KERNEL32_FUNCTION(GetProcAddress),         QUARRY_KERNEL32_FUNCTION(GetModuleFileNameA),
    QUARRY_KERNEL32_FUNCTION(GetModuleFileNameW),     QUARRY_KERNEL32_FUNCTION(RtlPcToFileHeader),
    QUARRY_KERNEL32_FUNCTION(RtlLookupFunctionEntry), QUARRY_KERNEL32_FUNCTION(GetLastError),
    QUARRY_KERNEL32_FUNCTION(SetLastError),           QUARRY_KERNEL32_FUNCTION(EncodePointer),
    QUARRY_KERNEL32_FUNCTION(DecodePointer),
};

std::span<const Function> moduleFunctions() {
  return FUNCTIONS;
}

}  // namespace
}  // namespace kernel32

bool isKernel32(std::string_view module) {
  constexpr std::string_view apiSet = "api-ms-win-core-";
  return kernel32::namesModule(module, "kernel32.dll") ||
         (module.size() > apiSet.size() &&
          equalIgnoringCase(module.substr(0, apiSet.size()), apiSet));
}

void* kernel32Function(std::string_view name) {
  using namespace kernel32;
  for (const auto part : {moduleFunctions, heapFunctions, memoryFunctions, textFunctions,
                          localeFunctions, threadFunctions, systemFunctions, runtimeFunctions}) {
    for (const Function& function : part()) {
      if (function.name == name) return function.address;
    }
  }
  return nullptr;
}

void setLoadedLibrary(const LoadedImage& image) {
  kernel32::loaded = image;
}

const LoadedImage& loadedLibrary() {
  return kernel32::loaded;
}

}  // namespace quarry
