// The KERNEL32 functions that Quarry offers a Windows library it loads: its own versions,
// built with Microsoft's calling convention, behaving as Windows documents them for the way a
// library uses them. Nothing else of Windows is offered.
#pragma once

#include <string>
#include <string_view>

namespace quarry {

// The module name a library imports them from, compared as Windows does: without case.
bool isKernel32(std::string_view module);

// The function a library imports by this name; null when Quarry does not offer it.
void* kernel32Function(std::string_view name);

// The process heap's handle (GetProcessHeap), also kept in the PEB.
void* processHeapHandle();

// The loaded library, which GetModuleHandleW and GetModuleFileNameA answer about.
void setLoadedLibrary(void* base, std::string path);

}  // namespace quarry
