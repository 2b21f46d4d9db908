// A Windows handle with one owner, closed when the owner goes: the twin of UniqueFd. Kept
// free of <windows.h>: a HANDLE is a void*, and both of Windows' "no handle" values (null and
// INVALID_HANDLE_VALUE) are held as null.
#pragma once

#include <cstdint>

#include "base/unique_owner.h"

namespace quarry {

// CloseHandle, for the owner below (unique_handle-win32.cpp includes <windows.h>).
void closeWindowsHandle(void* handle) noexcept;

// INVALID_HANDLE_VALUE, which some calls answer in place of null, is no handle either.
struct WindowsHandle : PointerKind<closeWindowsHandle> {
  static bool isNone(void* handle) {
    return handle == nullptr || reinterpret_cast<std::intptr_t>(handle) == -1;
  }
};

using UniqueHandle = UniqueOwner<WindowsHandle>;

}  // namespace quarry
