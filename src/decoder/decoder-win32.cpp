#include <windows.h>

#include "base/os_error.h"
#include "base/unicode.h"
#include "decoder/decoder.h"

namespace quarry {
namespace {

// Where the system found the library, for a message that says which file is wrong.
std::string loadedFrom(HMODULE library) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(library, path, 32768);
  return encodeLossless(std::u16string_view(reinterpret_cast<const char16_t*>(path), length));
}

}  // namespace

DecoderBinding bindDecompressor() {
  const std::u16string name = DECODER_LIBRARY;
  HMODULE library = LoadLibraryW(asWide(name));
  if (library == nullptr) {
    const int code = lastOsError();
    if (code == ERROR_MOD_NOT_FOUND) return {{}, DecoderProblem::missing, {}, {}};
    return {{}, DecoderProblem::notLoadable, encodeLossless(name), osErrorText(code)};
  }
  FARPROC entry = GetProcAddress(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    DecoderBinding refused{{}, DecoderProblem::noEntryPoint, loadedFrom(library), {}};
    FreeLibrary(library);
    return refused;
  }
  DecoderBinding bound;
  bound.decompress.native = reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(entry));
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
