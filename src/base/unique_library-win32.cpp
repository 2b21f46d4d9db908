#include <windows.h>

#include "base/unique_library.h"

namespace quarry {

void unloadLibrary(void* library) noexcept {
  FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace quarry
