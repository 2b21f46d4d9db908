// The outside decoder library: its file name, its entry point, how it is called, and what
// binding it found.
#pragma once

#include <cstdint>
#include <string>

namespace quarry {

constexpr char16_t DECODER_LIBRARY[] = u"oo2core_8_win64.dll";
constexpr char DECODER_ENTRY_POINT[] = "OodleLZ_Decompress";

// (stream, stream length, output, expected length, then ten zeros of these widths); returns
// the number of bytes decoded. The platform's own convention: a native library's.
using DecompressFn = std::int64_t (*)(const std::uint8_t* stream, std::int64_t streamLength,
                                      std::uint8_t* output, std::int64_t expectedLength,
                                      std::int32_t, std::int32_t, std::int32_t, std::int64_t,
                                      std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                      std::int64_t, std::int32_t);

#ifdef QUARRY_WINDOWS_LOADER
// The same entry point in a Windows DLL that Quarry loaded itself: Microsoft's convention.
using WindowsDecompressFn = std::int64_t(__attribute__((ms_abi)) *)(
    const std::uint8_t*, std::int64_t, std::uint8_t*, std::int64_t, std::int32_t, std::int32_t,
    std::int32_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
    std::int64_t, std::int32_t);
#endif

// The bound entry point, whichever convention it was built for; empty when none is bound.
struct Decompressor {
  DecompressFn native = nullptr;
#ifdef QUARRY_WINDOWS_LOADER
  WindowsDecompressFn windows = nullptr;
  explicit operator bool() const {
    return native != nullptr || windows != nullptr;
  }
#else
  explicit operator bool() const {
    return native != nullptr;
  }
#endif

  // Decodes stream into output with the ten trailing arguments zero; the decoder's answer.
  std::int64_t operator()(const std::uint8_t* stream, std::int64_t streamLength,
                          std::uint8_t* output, std::int64_t expectedLength) const {
#ifdef QUARRY_WINDOWS_LOADER
    if (windows != nullptr) {
      return windows(stream, streamLength, output, expectedLength, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    }
#endif
    return native(stream, streamLength, output, expectedLength, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  }
};

// Why no decoder was bound; the words are composed by the program, not here.
enum class DecoderProblem {
  none,
  missing,               // no library of that name anywhere
  notLoadable,           // the system's loader or the file itself failed; detail says how
  noEntryPoint,          // loaded, but OodleLZ_Decompress is not exported
  notRunnableHere,       // a Windows library on a machine where Quarry cannot load one
  wrongMachine,          // a Windows library for another CPU; detail names it ("32-bit", ...)
  damagedImage,          // detail names the check that failed
  unsupportedImage,      // sound, but needs what the loader does not offer; detail says what
  missingImport,         // detail is "MODULE!Name" or "MODULE!#ordinal"
  initialisationFailed,  // its DllMain answered FALSE
};

struct DecoderBinding {
  Decompressor decompress;
  DecoderProblem problem = DecoderProblem::none;
  std::string file;    // the library's path as the platform spells it, in UTF-8; empty if none
  std::string detail;  // the system's words, the failed check, the import... (not escaped)
};

// Loads the library (beside the program first) and resolves its entry point; the library
// stays loaded until the process ends. problem is none exactly when decompress is bound.
DecoderBinding bindDecompressor();

// Which library bindDecompressor would take, and how, without running any of its code.
enum class DecoderKind { WindowsLibraryThroughLoader, NativeLibrary, NoneFound };
struct DecoderChoice {
  std::string file;  // as the platform spells it, in UTF-8; empty when none is found
  DecoderKind kind = DecoderKind::NoneFound;
};
DecoderChoice chooseDecoder();

}  // namespace quarry
