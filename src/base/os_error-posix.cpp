#include <cerrno>
#include <cstring>

#include "base/os_error.h"

namespace quarry {

int lastOsError() {
  return errno;
}

std::string systemErrorText(int code) {
  return std::strerror(code);
}

}  // namespace quarry
