#include <dlfcn.h>

#include "base/unique_library.h"

namespace quarry {

void unloadLibrary(void* library) noexcept {
  dlclose(library);
}

}  // namespace quarry
