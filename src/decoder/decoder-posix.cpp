#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "base/program_path.h"
#include "base/unicode.h"
#include "base/unique_fd-posix.h"
#include "base/unique_library.h"
#include "decoder/decoder.h"

#ifdef QUARRY_WINDOWS_LOADER
#include "decoder/windows_entry-linux.h"
#include "loader/thread_environment-linux.h"
#include "loader/windows_library-linux.h"
#endif

namespace quarry {
namespace {

const std::string LIBRARY_NAME = encodeLossless(DECODER_LIBRARY);

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

// A Windows image starts with the DOS header's "MZ"; anything else goes to dlopen. Opened
// without waiting, so a FIFO of that name cannot hold the run; only a regular file is read.
bool startsLikeWindowsImage(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return true;
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return false;
  char magic[2] = {};
  return read(file.get(), magic, sizeof magic) == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// The library beside the program and which way it loads; NoneFound when nothing is there, and
// the system's search is then the only way left.
DecoderChoice choiceBesideProgram() {
  const std::string beside = programFolder() + LIBRARY_NAME;
  if (!fileExists(beside)) return {};
  return {beside, startsLikeWindowsImage(beside) ? DecoderKind::WindowsLibraryThroughLoader
                                                 : DecoderKind::NativeLibrary};
}

std::string dlerrorText() {
  const char* reason = dlerror();
  return reason != nullptr ? reason : std::string();
}

DecoderBinding problem(LoadProblem what, const std::string& path) {
  DecoderBinding refused;
  refused.problem = what;
  refused.file = path;
  return refused;
}

// dlopen's way: beside the program when found there, else by the system's search, which
// failing means no library of that name could be had.
DecoderBinding bindNative(const std::string& target, bool besideProgram) {
  UniqueLibrary library(dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!library.valid()) {
    DecoderBinding refused =
        problem(besideProgram ? LoadProblem::NotLoadable : LoadProblem::Missing, target);
    refused.systemWords = dlerrorText();
    return refused;
  }
  void* entry = dlsym(library.get(), DECODER_ENTRY_POINT);
  if (entry == nullptr) return problem(LoadProblem::NoEntryPoint, target);
  library.release();  // called until the run ends
  DecoderBinding bound;
  bound.decompress = nativeDecompressor(reinterpret_cast<DecompressFn>(entry));
  bound.file = fileOf(entry);
  Dl_info found{};
  if (dladdr(entry, &found) != 0) {
    bound.decompress.libraryBase = reinterpret_cast<std::uintptr_t>(found.dli_fbase);
  }
  return bound;
}

#ifdef QUARRY_WINDOWS_LOADER
DecoderBinding refusedWindowsImage(const std::string& path, const LoadFailure& failure) {
  DecoderBinding refused = problem(failure.problem, path);
  refused.refusal = failure.refusal;
  refused.modules = failure.modules;
  if (failure.problem == LoadProblem::InitialisationStopped) {
    Decompressor where;
    where.libraryBase = failure.imageBase;
    where.librarySize = failure.imageSize;
    refused.fault = describeStop(where, failure.stop);
  }
  return refused;
}
#endif

DecoderBinding bindWindowsImage(const std::string& path) {
#ifdef QUARRY_WINDOWS_LOADER
  const WindowsLibrary library = loadWindowsLibrary(path, DECODER_ENTRY_POINT);
  if (library.failure) return refusedWindowsImage(path, *library.failure);
  DecoderBinding bound;
  bound.decompress = windowsDecompressor(reinterpret_cast<WindowsDecompressFn>(library.exported));
  bound.decompress.beforeCall = refreshSharedData;
  bound.decompress.libraryBase = reinterpret_cast<std::uintptr_t>(library.base);
  bound.decompress.librarySize = library.size;
  bound.file = path;
  return bound;
#else
  return problem(LoadProblem::NotRunnableHere, path);
#endif
}

}  // namespace

FaultPlace placeOf(const Decompressor& decompress, std::uintptr_t address) {
  const std::uintptr_t base = decompress.libraryBase;
  bool inside = base != 0 && address >= base;
  if (decompress.librarySize != 0) {
    inside = inside && address - base < decompress.librarySize;
  } else {
    Dl_info found{};
    inside = inside && dladdr(reinterpret_cast<void*>(address), &found) != 0 &&
             reinterpret_cast<std::uintptr_t>(found.dli_fbase) == base;
  }
  return inside ? FaultPlace{address - base, true} : FaultPlace{address, false};
}

DecoderBinding bindDecompressor() {
  const DecoderChoice beside = choiceBesideProgram();
  switch (beside.kind) {
    case DecoderKind::WindowsLibraryThroughLoader:
      return bindWindowsImage(beside.file);
    case DecoderKind::NativeLibrary:
      return bindNative(beside.file, true);
    case DecoderKind::NoneFound:
      break;
  }
  return bindNative(LIBRARY_NAME, false);
}

DecoderChoice chooseDecoder() {
  const DecoderChoice beside = choiceBesideProgram();
  if (beside.kind != DecoderKind::NoneFound) return beside;
  // Only the system's search knows where it would find one: it is asked, and let go.
  const UniqueLibrary library(dlopen(LIBRARY_NAME.c_str(), RTLD_LAZY | RTLD_LOCAL));
  if (!library.valid()) return {};
  void* entry = dlsym(library.get(), DECODER_ENTRY_POINT);
  return {entry != nullptr ? fileOf(entry) : LIBRARY_NAME, DecoderKind::NativeLibrary};
}

}  // namespace quarry
