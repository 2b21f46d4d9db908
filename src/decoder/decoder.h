// The outside decoder library: its file name, its entry point, how it is called, and what
// binding it found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/guarded_call.h"
#include "loader/image_check.h"

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

// Calls the entry point at entry in the convention it was built for, with the ten trailing
// arguments zero; the decoder's answer.
using DecompressCall = std::int64_t (*)(void* entry, const std::uint8_t* stream,
                                        std::int64_t streamLength, std::uint8_t* output,
                                        std::int64_t expectedLength);

// The bound entry point and the call that fits its convention; empty when none is bound.
struct Decompressor {
  void* entry = nullptr;
  DecompressCall call = nullptr;  // chosen by the binding, which knows how the library was built
  // Where the library's image starts (the HMODULE on Windows, dladdr's dli_fbase for a native
  // library), and how many bytes it spans when Quarry mapped it itself (0: ask the system).
  std::uintptr_t libraryBase = 0;
  std::uint64_t librarySize = 0;
  void (*beforeCall)() = nullptr;  // brings what the library reads of the system up to date
  explicit operator bool() const { return call != nullptr; }

  // Decodes stream into output with the ten trailing arguments zero; the decoder's answer.
  std::int64_t operator()(const std::uint8_t* stream, std::int64_t streamLength,
                          std::uint8_t* output, std::int64_t expectedLength) const {
    return call(entry, stream, streamLength, output, expectedLength);
  }
};

// An entry point built for the platform's own convention: a native library's.
Decompressor nativeDecompressor(DecompressFn entry);

// Where a call into the decoder library stopped: the faulting instruction's offset into the
// library where it lies there, else its bare address.
struct FaultPlace {
  std::uint64_t at = 0;
  bool inLibrary = false;  // at is an offset into the library, not an address
};

// Why a call into the decoder library did not come back by itself.
struct DecoderFault {
  int signal = 0;    // POSIX signal number or Windows exception code; 0 for a call that stops
  FaultPlace where;  // a fault's; none for a call that stops
  std::string call;  // what the library called that stops the run, e.g.
                     // "KERNEL32.dll!CreateFileW" or "ExitProcess"; empty for a fault
};

// Calls the bound entry point (ten trailing zeros, as Decompressor::operator()); returns its
// answer, or fills fault and returns -1 when the call did not come back.
std::int64_t callDecoder(const Decompressor& decompress, const std::uint8_t* stream,
                         std::int64_t streamLength, std::uint8_t* output,
                         std::int64_t expectedLength, std::optional<DecoderFault>& fault);

// Where address lies: in the bound library (an offset into it), or outside.
FaultPlace placeOf(const Decompressor& decompress, std::uintptr_t address);

// What a guarded call into the library that did not come back stopped at.
DecoderFault describeStop(const Decompressor& decompress, const GuardedStop& stop);

// What binding found: the entry point, or why there is none (the words are composed by the
// program, not here).
struct DecoderBinding {
  Decompressor decompress;
  LoadProblem problem = LoadProblem::None;
  std::string file;         // the library's path as the platform spells it, in UTF-8; empty if none
  LoadRefusal refusal;      // the check that refused it, with its values (not escaped)
  std::string systemWords;  // NotLoadable by dlopen: its own words, which have no number (empty
                            // when it gave none)
  std::vector<ForeignModule> modules;  // ForeignImports, in the order first imported
  DecoderFault fault;                  // InitialisationStopped
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
