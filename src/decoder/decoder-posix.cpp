#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "base/unicode.h"
#include "decoder/decoder.h"

#ifdef QUARRY_WINDOWS_LOADER
#include "decoder/windows_library-linux.h"
#endif

namespace quarry {
namespace {

const std::string LIBRARY_NAME = encodeLossless(DECODER_LIBRARY);

// The running program's path: Linux names it in /proc; elsewhere the dynamic loader knows
// which file holds this very function.
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

std::string programFolder() {
  const std::string path = programPath();
  return path.substr(0, path.rfind('/') + 1);
}

// The file a loaded library came from, for keeping entries from being written over it.
std::string fileOf(const void* symbol) {
  Dl_info found{};
  if (dladdr(symbol, &found) == 0 || found.dli_fname == nullptr) return {};
  return found.dli_fname;
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

// A Windows image starts with the DOS header's "MZ"; anything else goes to dlopen.
bool startsLikeWindowsImage(const std::string& path) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char magic[2] = {};
  const bool windows = read(file, magic, sizeof magic) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  close(file);
  return windows;
}

std::string dlerrorText() {
  const char* reason = dlerror();
  return reason != nullptr ? reason : "unknown reason";
}

DecoderBinding problem(DecoderProblem what, const std::string& path, std::string detail = {}) {
  return {{}, what, path, std::move(detail)};
}

// dlopen's way: beside the program when found there, else by the system's search.
DecoderBinding bindNative(const std::string& target, bool besideProgram) {
  void* library = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const std::string reason = dlerrorText();
    const bool missing = !besideProgram && reason.find("No such file") != std::string::npos;
    return problem(missing ? DecoderProblem::missing : DecoderProblem::notLoadable, target, reason);
  }
  void* entry = dlsym(library, DECODER_ENTRY_POINT);
  if (entry == nullptr) {
    dlclose(library);
    return problem(DecoderProblem::noEntryPoint, target);
  }
  DecoderBinding bound;
  bound.decompress.native = reinterpret_cast<DecompressFn>(entry);
  bound.file = fileOf(entry);
  return bound;
}

DecoderBinding bindWindowsImage(const std::string& path) {
#ifdef QUARRY_WINDOWS_LOADER
  const WindowsLibrary library = loadWindowsLibrary(path, DECODER_ENTRY_POINT);
  if (library.fault) return problem(library.fault.problem, path, library.fault.detail);
  DecoderBinding bound;
  bound.decompress.windows = reinterpret_cast<WindowsDecompressFn>(library.exported);
  bound.file = path;
  return bound;
#else
  return problem(DecoderProblem::notRunnableHere, path);
#endif
}

}  // namespace

DecoderBinding bindDecompressor() {
  const std::string beside = programFolder() + LIBRARY_NAME;
  if (!fileExists(beside)) return bindNative(LIBRARY_NAME, false);
  if (startsLikeWindowsImage(beside)) return bindWindowsImage(beside);
  return bindNative(beside, true);
}

DecoderChoice chooseDecoder() {
  const std::string beside = programFolder() + LIBRARY_NAME;
  if (fileExists(beside)) {
    return {beside, startsLikeWindowsImage(beside) ? DecoderKind::WindowsLibraryThroughLoader
                                                   : DecoderKind::NativeLibrary};
  }
  // Only the system's search knows where it would find one: it is asked, and let go.
  void* library = dlopen(LIBRARY_NAME.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) return {};
  void* entry = dlsym(library, DECODER_ENTRY_POINT);
  DecoderChoice found{entry != nullptr ? fileOf(entry) : LIBRARY_NAME, DecoderKind::NativeLibrary};
  dlclose(library);
  return found;
}

}  // namespace quarry
