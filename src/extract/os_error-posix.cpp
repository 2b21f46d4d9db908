#include <cerrno>
#include <cstring>

#include "extract/os_error.h"

namespace quarry {

int lastOsError() {
  return errno;
}

std::string osErrorText(int code) {
  return std::strerror(code);
}

}  // namespace quarry
