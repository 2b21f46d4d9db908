#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string_view>

#include "decoder/decoder.h"
#include "extract/text.h"

namespace quarry {
namespace {

const std::string LIBRARY_NAME = encodeLossless(DECODER_LIBRARY);

std::string programFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  std::string_view path(buffer, static_cast<std::size_t>(length));
  return std::string(path.substr(0, path.rfind('/') + 1));
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

std::string dlerrorText() {
  const char* reason = dlerror();
  return reason != nullptr ? reason : "unknown reason";
}

// What dlopen said, and a plain word for the usual case: a game's Windows DLL copied here.
std::string loadFailure(const std::string& path, const std::string& reason) {
  std::string why = "Found " + escapeForMessage(path) +
                    " but it could not be loaded: " + escapeForMessage(reason);
  if (reason.find("invalid ELF header") != std::string::npos) {
    why += " (a Windows DLL does not load on Linux; a native build of the library is needed)";
  }
  return why;
}

}  // namespace

DecompressFn bindDecompressor(std::string& why) {
  why.clear();
  const std::string beside = programFolder() + LIBRARY_NAME;
  const bool besideProgram = fileExists(beside);
  const std::string target = besideProgram ? beside : LIBRARY_NAME;
  void* library = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const std::string reason = dlerrorText();
    const bool missing = !besideProgram && reason.find("No such file") != std::string::npos;
    if (!missing) why = loadFailure(target, reason);
    return nullptr;
  }
  void* entry = dlsym(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    why = "The library " + escapeForMessage(target) + " has no entry point " + DECODER_ENTRY_POINT;
    return nullptr;
  }
  return reinterpret_cast<DecompressFn>(entry);
}

}  // namespace quarry
