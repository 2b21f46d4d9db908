#include <windows.h>

#include "extract/decoder.h"
#include "extract/os_error.h"
#include "extract/text.h"

namespace quarry {

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
    why = "The library " + encodeLossless(name) + " has no entry point " + DECODER_ENTRY_POINT;
    return nullptr;
  }
  return reinterpret_cast<DecompressFn>(reinterpret_cast<void*>(entry));
}

}  // namespace quarry
