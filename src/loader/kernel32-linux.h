// The KERNEL32 functions that Quarry offers a Windows library it loads: its own versions,
// built with Microsoft's calling convention, behaving as Windows documents them for the way a
// library uses them. Any other KERNEL32 function it imports gets a stand-in that stops the
// call in progress if it is ever called. Nothing else of Windows is offered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarry {

// Whether a library's imports from module are KERNEL32's: KERNEL32.dll itself, or one of the
// API sets (api-ms-win-core-*) that Windows resolves to it; compared without case.
bool isKernel32(std::string_view module);

// The function a library imports by this name; null when Quarry does not offer it.
void* kernel32Function(std::string_view name);

// How many different functions can have stand-ins.
constexpr std::size_t STAND_IN_COUNT = 256;

// A function that, when called, leaves the guarded call in progress naming call (as
// "KERNEL32.dll!CreateFileW"); the same call gets the same one; null once all are in use.
void* standInFor(const std::string& call);

// The process heap's handle (GetProcessHeap), also kept in the PEB.
void* processHeapHandle();

// GetStdHandle's handle for standard input (0), output (1) or error (2).
void* standardHandle(int descriptor);

// The process's command line as Windows would have given it (GetCommandLineA), UTF-8.
std::string windowsCommandLine();

// IsProcessorFeaturePresent's answer, by Windows' PF_* number.
bool processorFeaturePresent(std::uint32_t feature);

// The loaded library, which the module functions answer about.
struct LoadedImage {
  std::uint8_t* base = nullptr;
  std::uint64_t size = 0;
  std::string path;
  std::uint32_t functionTable = 0;  // RVA of its .pdata records, and their count
  std::uint32_t functionCount = 0;
};
void setLoadedLibrary(const LoadedImage& image);
const LoadedImage& loadedLibrary();

}  // namespace quarry
