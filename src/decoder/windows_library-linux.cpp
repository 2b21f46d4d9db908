#include "decoder/windows_library-linux.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "base/os_error.h"
#include "decoder/kernel32-linux.h"
#include "decoder/pe_format.h"
#include "decoder/thread_environment-linux.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUARRY_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARRY_LEAK_CHECKS 1
#endif
#endif
#ifdef QUARRY_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

namespace quarry {
namespace {

using EntryPoint = std::int32_t(__attribute__((ms_abi)) *)(void* module, std::uint32_t reason,
                                                           void* reserved);
using TlsCallback = void(__attribute__((ms_abi)) *)(void* module, std::uint32_t reason,
                                                    void* reserved);

PeFault systemFailure(int code) {
  return {DecoderProblem::notLoadable, osErrorText(code)};
}

// The library's data may hold the only pointers to what it allocates on Quarry's heap, so a
// leak checker must scan its pages as it does Quarry's own data.
void scanForLeaks([[maybe_unused]] void* pages, [[maybe_unused]] std::uint64_t size) {
#ifdef QUARRY_LEAK_CHECKS
  __lsan_register_root_region(pages, size);
#endif
}

void stopScanningForLeaks([[maybe_unused]] void* pages, [[maybe_unused]] std::uint64_t size) {
#ifdef QUARRY_LEAK_CHECKS
  __lsan_unregister_root_region(pages, size);
#endif
}

// The image's pages: one owner, unmapped unless released to the process for good.
class ImageMapping {
 public:
  ImageMapping() = default;
  ImageMapping(const ImageMapping&) = delete;
  ImageMapping& operator=(const ImageMapping&) = delete;
  ~ImageMapping() {
    if (base_ == nullptr) return;
    stopScanningForLeaks(base_, size_);
    munmap(base_, size_);
  }

  // Read-write pages, zeroed; at the preferred address when wanted, and only there.
  bool map(std::uint64_t size, std::uint64_t preferred, bool onlyThere) {
    void* hint = onlyThere ? reinterpret_cast<void*>(preferred) : nullptr;
    const int exactly = onlyThere ? MAP_FIXED_NOREPLACE : 0;
    void* mapped =
        mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | exactly, -1, 0);
    if (mapped == MAP_FAILED) return false;
    if (onlyThere && mapped != hint) {  // a kernel that took the address as a hint only
      munmap(mapped, size);
      errno = EEXIST;
      return false;
    }
    base_ = static_cast<std::uint8_t*>(mapped);
    size_ = size;
    scanForLeaks(base_, size_);
    return true;
  }

  MutableBytes bytes() const { return {base_, size_}; }
  std::uint8_t* base() const { return base_; }
  std::uint8_t* release() { return std::exchange(base_, nullptr); }

 private:
  std::uint8_t* base_ = nullptr;
  std::uint64_t size_ = 0;
};

struct Loading {
  std::vector<std::uint8_t> file;
  PeHeaders headers;
  ImageMapping image;
  PeTls tls;
  std::uint32_t exported = 0;  // RVA
};

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status {};
  bool sound = fstat(file, &status) == 0;
  try {
    bytes.resize(sound ? static_cast<std::size_t>(status.st_size) : 0);
  } catch (const std::bad_alloc&) {
    close(file);
    errno = ENOMEM;
    return false;
  }
  std::size_t done = 0;
  while (sound && done < bytes.size()) {
    const ssize_t got = read(file, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      sound = got == 0;  // a file that shrank meanwhile is what is there now
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  const int error = errno;
  close(file);
  errno = error;
  return sound;
}

// An image without relocations can only sit at its preferred base; any other goes where the
// system puts it, so the relocations are always exercised.
PeFault mapImage(Loading& loading) {
  const PeHeaders& headers = loading.headers;
  const bool fixed = headers.relocations.rva == 0 || headers.relocations.size == 0;
  if (!loading.image.map(mappedImageSize(headers), headers.imageBase, fixed)) {
    if (fixed && errno == EEXIST) {
      return {DecoderProblem::unsupportedImage,
              "a move from its preferred base, which it has no relocations for"};
    }
    return systemFailure(errno);
  }
  layOutImage(loading.file, headers, loading.image.bytes());
  return relocateImage(loading.image.bytes(), headers,
                       reinterpret_cast<std::uintptr_t>(loading.image.base()));
}

PeFault bindImports(Loading& loading) {
  std::vector<PeImport> imports;
  if (PeFault fault = readImports(loading.image.bytes(), loading.headers, imports)) return fault;
  std::vector<void*> functions;
  for (const PeImport& import : imports) {
    void* function = isKernel32(import.module) ? kernel32Function(import.name) : nullptr;
    if (function == nullptr) {
      return {DecoderProblem::missingImport,
              std::string(import.module) + "!" + std::string(import.name)};
    }
    functions.push_back(function);
  }
  // Written only once all are read, so no slot overwrites a name still to be looked up.
  for (std::size_t k = 0; k < imports.size(); ++k) {
    writeU64(loading.image.base() + imports[k].slot,
             reinterpret_cast<std::uintptr_t>(functions[k]));
  }
  return {};
}

// The module's TLS block, from its template, and its index where its code reads it. The block
// lives as long as the module.
PeFault prepareTls(Loading& loading) {
  const auto base = reinterpret_cast<std::uintptr_t>(loading.image.base());
  if (PeFault fault = readTls(loading.image.bytes(), loading.headers, base, loading.tls)) {
    return fault;
  }
  const PeTls& tls = loading.tls;
  if (!tls.present) return {};
  auto* block = static_cast<std::uint8_t*>(std::calloc(tls.templateSize + tls.zeroFill + 1, 1));
  if (block == nullptr) return systemFailure(ENOMEM);
  std::memcpy(block, loading.image.base() + tls.templateRva, tls.templateSize);
  setModuleTlsBlock(block);
  const std::uint32_t index = MODULE_TLS_INDEX;
  std::memcpy(loading.image.base() + tls.indexRva, &index, sizeof index);
  return {};
}

PeFault protectSections(const Loading& loading) {
  for (const PeProtection& range : protectionPlan(loading.headers)) {
    const int prot = (range.readable ? PROT_READ : 0) | (range.writable ? PROT_WRITE : 0) |
                     (range.executable ? PROT_EXEC : 0);
    if (mprotect(loading.image.base() + range.offset, range.size, prot) != 0) {
      return systemFailure(errno);
    }
  }
  return {};
}

// TLS callbacks first, then the entry point, as Windows runs them on a load.
PeFault initialise(const Loading& loading, const std::string& path) {
  if (!installThreadEnvironment()) return systemFailure(errno);
  std::uint8_t* base = loading.image.base();
  setLoadedLibrary(base, path);
  for (const std::uint32_t callback : loading.tls.callbacks) {
    reinterpret_cast<TlsCallback>(base + callback)(base, pe::REASON_PROCESS_ATTACH, nullptr);
  }
  if (loading.headers.entryPoint == 0) return {};
  const auto entry = reinterpret_cast<EntryPoint>(base + loading.headers.entryPoint);
  if (entry(base, pe::REASON_PROCESS_ATTACH, nullptr) == 0) {
    return {DecoderProblem::initialisationFailed, {}};
  }
  return {};
}

// The export is found while every page can still be read, and before any of the library's
// code runs: a library that lacks it is refused without having run.
PeFault load(Loading& loading, const std::string& path, std::string_view exportName) {
  if (!readWholeFile(path, loading.file)) return systemFailure(errno);
  if (PeFault fault = readPeHeaders(loading.file, loading.headers)) return fault;
  if (PeFault fault = mapImage(loading)) return fault;
  if (PeFault fault = bindImports(loading)) return fault;
  if (PeFault fault = prepareTls(loading)) return fault;
  if (PeFault fault =
          findExport(loading.image.bytes(), loading.headers, exportName, loading.exported)) {
    return fault;
  }
  if (PeFault fault = protectSections(loading)) return fault;
  return initialise(loading, path);
}

}  // namespace

WindowsLibrary loadWindowsLibrary(const std::string& path, std::string_view exportName) {
  Loading loading;
  WindowsLibrary library;
  library.fault = load(loading, path, exportName);
  if (library.fault) {
    setLoadedLibrary(nullptr, {});
    return library;
  }
  library.preferredBase = loading.headers.imageBase;
  library.size = mappedImageSize(loading.headers);
  library.base = loading.image.release();
  library.exported = library.base + loading.exported;
  return library;
}

}  // namespace quarry
