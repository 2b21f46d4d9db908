#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"
#include "base/unique_library.h"
#include "base/wide-win32.h"
#include "decoder/decoder.h"

namespace quarry {
namespace {

// Where the system found the library, for a message that says which file is wrong.
std::string loadedFrom(HMODULE library) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(library, path, 32768);
  return encodeLossless(std::u16string_view(reinterpret_cast<const char16_t*>(path), length));
}

// The folder Quarry.exe lies in, with its trailing separator.
std::u16string programFolder() {
  std::u16string path(32768, u'\0');
  const DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()), 32768);
  path.resize(length);
  return path.substr(0, path.find_last_of(u"\\/") + 1);
}

}  // namespace

std::string placeOf(const Decompressor& decompress, std::uintptr_t address) {
  HMODULE holder = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  const bool inside = decompress.libraryBase != 0 &&
                      GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(address), &holder) != 0 &&
                      reinterpret_cast<std::uintptr_t>(holder) == decompress.libraryBase;
  return inside ? libraryOffsetText(address - decompress.libraryBase) : addressText(address);
}

DecoderBinding bindDecompressor() {
  // By its full path only: a library of that name in the current folder or on PATH is never
  // loaded in its place. Its own imports are looked up beside it first.
  const std::u16string name = programFolder() + DECODER_LIBRARY;
  UniqueLibrary owner(LoadLibraryExW(asWide(name), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  const auto library = static_cast<HMODULE>(owner.get());
  if (library == nullptr) {
    const int code = lastOsError();
    DecoderBinding refused;
    refused.problem = code == ERROR_MOD_NOT_FOUND ? LoadProblem::Missing : LoadProblem::NotLoadable;
    if (refused.problem == LoadProblem::NotLoadable) {
      refused.file = encodeLossless(name);
      refused.refusal.check = ImageCheck::SystemRefused;
      refused.refusal.osError = code;
    }
    return refused;
  }
  FARPROC entry = GetProcAddress(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    DecoderBinding refused;
    refused.problem = LoadProblem::NoEntryPoint;
    refused.file = loadedFrom(library);
    return refused;
  }
  owner.release();  // called until the run ends
  DecoderBinding bound;
  bound.decompress =
      nativeDecompressor(reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(entry)));
  bound.decompress.libraryBase = reinterpret_cast<std::uintptr_t>(library);
  bound.file = loadedFrom(library);
  return bound;
}

DecoderChoice chooseDecoder() {
  wchar_t program[32768];
  const DWORD length = GetModuleFileNameW(nullptr, program, 32768);
  std::u16string path(reinterpret_cast<const char16_t*>(program), length);
  path = path.substr(0, path.find_last_of(u"\\/") + 1) + DECODER_LIBRARY;
  if (GetFileAttributesW(asWide(path)) == INVALID_FILE_ATTRIBUTES) return {};
  return {encodeLossless(path), DecoderKind::NativeLibrary};
}

}  // namespace quarry
