// Quarry's own loader for a 64-bit Windows library (a PE32+ DLL) on 64-bit x86 Linux: it
// maps the image, relocates it, binds its KERNEL32 imports to Quarry's shims, finds the
// export, protects each section (never writable and executable at once), gives the thread a
// Windows TEB and runs the library's initialisation. It runs only the library beside the
// program, as Windows' loader would; one library, one thread, no other DLLs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "decoder/pe_image.h"

namespace quarry {

struct WindowsLibrary {
  PeFault fault;                 // why it was refused; nothing stays mapped then
  std::uint8_t* base = nullptr;  // where the image lies; it stays until the process ends
  std::uint64_t size = 0;        // bytes mapped there
  std::uint64_t preferredBase = 0;
  void* exported = nullptr;  // the export asked for, Microsoft's calling convention
};

// Loads the DLL at path and finds exportName in it.
WindowsLibrary loadWindowsLibrary(const std::string& path, std::string_view exportName);

}  // namespace quarry
