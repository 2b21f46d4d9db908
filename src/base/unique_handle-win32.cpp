#include "base/unique_handle-win32.h"

#include <windows.h>

namespace quarry {

void closeWindowsHandle(void* handle) noexcept {
  CloseHandle(handle);
}

}  // namespace quarry
