#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"
#include "base/unique_library.h"
#include "base/wide-win32.h"
#include "decoder/decoder.h"

namespace quarry {
namespace {

// The longest path GetModuleFileNameW fills: Windows' limit for a path with the \\?\ prefix.
constexpr DWORD LONGEST_PATH = 32768;

// Where the system found the module (the program itself for none), for a message that says
// which file is wrong.
std::u16string moduleFile(HMODULE module) {
  std::u16string path(LONGEST_PATH, u'\0');
  const DWORD length =
      GetModuleFileNameW(module, reinterpret_cast<wchar_t*>(path.data()), LONGEST_PATH);
  path.resize(length);
  return path;
}

// The folder Quarry.exe lies in, with its trailing separator.
std::u16string programFolder() {
  const std::u16string path = moduleFile(nullptr);
  return path.substr(0, path.find_last_of(u"\\/") + 1);
}

// The one place the library is taken from: by its full path only, so a library of that name
// in the current folder or on PATH is never loaded in its place.
std::u16string libraryPath() {
  return programFolder() + DECODER_LIBRARY;
}

bool isPresent(const std::u16string& path) {
  return GetFileAttributesW(asWide(path)) != INVALID_FILE_ATTRIBUTES;
}

DecoderBinding refusedBySystem(const std::u16string& path, int code) {
  DecoderBinding refused;
  refused.problem = LoadProblem::NotLoadable;
  refused.file = encodeLossless(path);
  refused.refusal.check = ImageCheck::SystemRefused;
  refused.refusal.osError = code;
  return refused;
}

}  // namespace

FaultPlace placeOf(const Decompressor& decompress, std::uintptr_t address) {
  HMODULE holder = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  const bool inside = decompress.libraryBase != 0 &&
                      GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(address), &holder) != 0 &&
                      reinterpret_cast<std::uintptr_t>(holder) == decompress.libraryBase;
  return inside ? FaultPlace{address - decompress.libraryBase, true} : FaultPlace{address, false};
}

DecoderBinding bindDecompressor() {
  const std::u16string path = libraryPath();
  if (!isPresent(path)) {
    DecoderBinding missing;
    missing.problem = LoadProblem::Missing;
    return missing;
  }
  // Its own imports are looked up beside it first.
  UniqueLibrary owner(LoadLibraryExW(asWide(path), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  const auto library = static_cast<HMODULE>(owner.get());
  if (library == nullptr) return refusedBySystem(path, lastOsError());
  FARPROC entry = GetProcAddress(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    DecoderBinding refused;
    refused.problem = LoadProblem::NoEntryPoint;
    refused.file = encodeLossless(moduleFile(library));
    return refused;
  }
  owner.release();  // called until the run ends
  DecoderBinding bound;
  bound.decompress =
      nativeDecompressor(reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(entry)));
  bound.decompress.libraryBase = reinterpret_cast<std::uintptr_t>(library);
  bound.file = encodeLossless(moduleFile(library));
  return bound;
}

DecoderChoice chooseDecoder() {
  const std::u16string path = libraryPath();
  if (!isPresent(path)) return {};
  return {encodeLossless(path), DecoderKind::NativeLibrary};
}

}  // namespace quarry
