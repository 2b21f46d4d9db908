// The owner of the platform's own handle on an open file: a Windows handle, a POSIX descriptor.
#pragma once

#ifdef _WIN32
#include "base/unique_handle-win32.h"
namespace quarry {
using UniqueOsHandle = UniqueHandle;
}  // namespace quarry
#else
#include "base/unique_fd-posix.h"
namespace quarry {
using UniqueOsHandle = UniqueFd;
}  // namespace quarry
#endif
