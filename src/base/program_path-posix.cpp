#include "base/program_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace quarry {

// Linux names the program in /proc; elsewhere the dynamic loader knows which file holds this
// very function.
std::string programPath() {
#ifdef __linux__
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
#endif
  Dl_info found{};
  if (dladdr(reinterpret_cast<const void*>(&programPath), &found) == 0) return {};
  return found.dli_fname != nullptr ? found.dli_fname : "";
}

}  // namespace quarry
