// A loaded library with one owner: let go when the owner goes, unless it is released to stay
// for the rest of the process (the decoder library, once bound, is called until the run ends).
#pragma once

#include "base/unique_owner.h"

namespace quarry {

// dlclose or FreeLibrary (unique_library-posix.cpp, unique_library-win32.cpp).
void unloadLibrary(void* library) noexcept;

using UniqueLibrary = UniqueOwner<PointerKind<unloadLibrary>>;

}  // namespace quarry
