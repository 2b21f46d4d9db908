#include <windows.h>

#include "decoder/decoder.h"
#include "extract/os_error.h"
#include "extract/text.h"

namespace quarry {
namespace {

// Where the system found the library, for a message that says which file is wrong.
std::string loadedFrom(HMODULE library) {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(library, path, 32768);
  return pathForMessage(std::u16string(reinterpret_cast<const char16_t*>(path), length));
}

}  // namespace

DecompressFn bindDecompressor(std::string& why) {
  why.clear();
  const std::u16string name = DECODER_LIBRARY;
  HMODULE library = LoadLibraryW(asWide(name));
  if (library == nullptr) {
    const int code = lastOsError();
    if (code != ERROR_MOD_NOT_FOUND) {
      why = "Found " + encodeLossless(name) + " but it could not be loaded: " + osErrorText(code);
    }
    return nullptr;
  }
  FARPROC entry = GetProcAddress(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    why = "The library " + loadedFrom(library) + " has no entry point " + DECODER_ENTRY_POINT;
    return nullptr;
  }
  return reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(entry));
}

}  // namespace quarry
