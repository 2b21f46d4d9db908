// Quarry's own loader for a 64-bit Windows library (a PE32+ DLL) on 64-bit x86 Linux: it
// reads the file's headers, maps the image, relocates it, binds its KERNEL32 imports to
// Quarry's shims (and to stand-ins those it does not offer), finds the export, protects each
// section (never writable and executable at once), gives the thread a Windows TEB and PEB and
// runs the library's initialisation under a guard. One library, one thread, no other DLLs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "loader/pe_image.h"

// (Before each call into the library, refreshSharedData from thread_environment-linux.h.)

namespace quarry {

struct WindowsLibrary {
  std::optional<LoadFailure> failure;  // why it was refused; nothing stays mapped then
  std::uint8_t* base = nullptr;        // where the image lies; it stays until the process ends
  std::uint64_t size = 0;              // bytes mapped there
  void* exported = nullptr;            // the export asked for, Microsoft's calling convention
};

// The largest library file taken: far above any decoder library, far below a hostile size.
constexpr std::uint64_t LARGEST_LIBRARY_FILE = std::uint64_t{256} << 20;

// Loads the DLL at path and finds exportName in it. Only a regular file is opened, without
// waiting on it.
WindowsLibrary loadWindowsLibrary(const std::string& path, std::string_view exportName);

}  // namespace quarry
