#include "loader/windows_library-linux.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "base/ascii_case.h"
#include "base/guarded_call.h"
#include "base/os_error.h"
#include "base/unique_fd-posix.h"
#include "base/unique_pages-posix.h"
#include "loader/kernel32-linux.h"
#include "loader/pe_format.h"
#include "loader/thread_environment-linux.h"

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

// The first bytes read of the file, which hold the headers of any image of a usual shape.
constexpr std::uint64_t HEADER_PROBE = 4096;

LoadFailure systemFailure(int code) {
  LoadFailure refused = refusedBy(LoadProblem::NotLoadable, ImageCheck::SystemRefused);
  refused.refusal.osError = code;
  return refused;
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

// The image's pages: one owner, unmapped unless released to the process for good, and
// scanned by a leak checker while they are mapped.
class ImageMapping {
 public:
  ImageMapping() = default;
  ImageMapping(const ImageMapping&) = delete;
  ImageMapping& operator=(const ImageMapping&) = delete;
  ~ImageMapping() {
    if (pages_.valid()) stopScanningForLeaks(base(), pages_.get().length);
  }

  // Read-write pages, zeroed; at the preferred address when wanted, and only there (EEXIST
  // when something else is).
  OsResult map(std::uint64_t size, std::uint64_t preferred, bool onlyThere) {
    void* hint = onlyThere ? reinterpret_cast<void*>(preferred) : nullptr;
    const int exactly = onlyThere ? MAP_FIXED_NOREPLACE : 0;
    UniquePages mapped(
        {mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | exactly, -1, 0),
         static_cast<std::size_t>(size)});
    if (!mapped.valid()) return lastOsFailure();
    // A kernel that took the address only as a hint put the pages elsewhere: they go.
    if (onlyThere && mapped.get().base != hint) return OsResult{EEXIST};
    pages_ = std::move(mapped);
    scanForLeaks(base(), size);
    return {};
  }

  MutableBytes bytes() const { return {base(), pages_.get().length}; }
  std::uint8_t* base() const { return static_cast<std::uint8_t*>(pages_.get().base); }
  std::uint8_t* release() { return static_cast<std::uint8_t*>(pages_.release().base); }

 private:
  UniquePages pages_;
};

struct Loading {
  UniqueFd file;
  std::uint64_t fileSize = 0;
  std::vector<std::uint8_t> headerBytes;  // the start of the file, through the headers
  PeHeaders headers;
  ImageMapping image;
  PeTls tls;
  std::uint32_t exported = 0;  // RVA
};

// Reads up to into.size() bytes at offset; done says how many there were (fewer at the
// file's end).
OsResult readAt(int file, std::uint64_t offset, MutableBytes into, std::uint64_t& done) {
  done = 0;
  while (done < into.size()) {
    const ssize_t got =
        pread(file, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return lastOsFailure();
    if (got == 0) break;
    done += static_cast<std::uint64_t>(got);
  }
  return {};
}

// Opened without waiting (a FIFO would hold a blocking open), and only a regular file of a
// size that a library can have is read at all.
std::optional<LoadFailure> openLibraryFile(const std::string& path, Loading& loading) {
  loading.file = UniqueFd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!loading.file.valid() || fstat(loading.file.get(), &status) != 0) {
    return systemFailure(errno);
  }
  if (S_ISDIR(status.st_mode))
    return refusedBy(LoadProblem::NotAFile, ImageCheck::FileIsADirectory);
  if (!S_ISREG(status.st_mode)) return refusedBy(LoadProblem::NotAFile, ImageCheck::FileNotRegular);
  loading.fileSize = static_cast<std::uint64_t>(status.st_size);
  if (loading.fileSize > LARGEST_LIBRARY_FILE) {
    return refusedBy(LoadProblem::TooLarge, ImageCheck::FileTooLarge, loading.fileSize);
  }
  return {};
}

// The headers are read before anything else of the file: a file that is no image costs one
// small read.
std::optional<LoadFailure> readHeaders(Loading& loading) {
  std::vector<std::uint8_t>& bytes = loading.headerBytes;
  bytes.resize(std::min(loading.fileSize, HEADER_PROBE));
  std::uint64_t got = 0;
  OsResult read = readAt(loading.file.get(), 0, bytes, got);
  if (!read.ok()) return systemFailure(read.osError);
  bytes.resize(static_cast<std::size_t>(got));
  const std::uint64_t extent = std::min(peHeadersExtent(bytes), loading.fileSize);
  if (extent > bytes.size()) {
    bytes.resize(extent);
    read = readAt(loading.file.get(), 0, bytes, got);
    if (!read.ok()) return systemFailure(read.osError);
    bytes.resize(static_cast<std::size_t>(got));
  }
  return readPeHeaders(bytes, loading.fileSize, loading.headers);
}

// The headers from what was read of them, each section's bytes straight from the file.
std::optional<LoadFailure> layOutFromFile(Loading& loading) {
  const PeHeaders& headers = loading.headers;
  std::copy_n(loading.headerBytes.data(), headers.sizeOfHeaders, loading.image.base());
  for (const PeSection& section : headers.sections) {
    const MutableBytes into = loading.image.bytes().subspan(section.rva, section.copied);
    std::uint64_t got = 0;
    const OsResult read = readAt(loading.file.get(), section.rawOffset, into, got);
    if (!read.ok()) return systemFailure(read.osError);
    if (got != section.copied) {
      return refusedBy(LoadProblem::DamagedImage, ImageCheck::SectionBytesOutsideFile, 0,
                       section.name);
    }
  }
  return {};
}

// An image without relocations can only sit at its preferred base; any other goes where the
// system puts it, so the relocations are always exercised.
std::optional<LoadFailure> mapImage(Loading& loading) {
  const PeHeaders& headers = loading.headers;
  const bool fixed = headers.relocations.rva == 0 || headers.relocations.size == 0;
  const OsResult mapped = loading.image.map(mappedImageSize(headers), headers.imageBase, fixed);
  if (fixed && mapped.osError == EEXIST) {
    return refusedBy(LoadProblem::UnsupportedImage, ImageCheck::NoRelocationsForMove);
  }
  if (!mapped.ok()) return systemFailure(mapped.osError);
  if (auto failure = layOutFromFile(loading)) return failure;
  return relocateImage(loading.image.bytes(), headers,
                       reinterpret_cast<std::uintptr_t>(loading.image.base()));
}

// A module's name folded as Windows compares module names, so that one module counts once
// however its imports spell it.
std::string foldedName(std::string_view module) {
  std::string folded(module);
  for (char& c : folded) c = asciiUpper(c);
  return folded;
}

// Every module other than KERNEL32 imported from, as first spelled, with its count.
std::optional<LoadFailure> foreignModules(const std::vector<PeImport>& imports) {
  LoadFailure refused = refusedBy(LoadProblem::ForeignImports);
  std::map<std::string, std::size_t> seen;  // folded name -> place in the list
  for (const PeImport& import : imports) {
    if (isKernel32(import.module)) continue;
    const auto [at, isNew] = seen.emplace(foldedName(import.module), refused.modules.size());
    if (isNew) refused.modules.push_back({std::string(import.module), 0});
    ++refused.modules[at->second].functions;
  }
  if (refused.modules.empty()) return std::nullopt;
  return refused;
}

// Quarry's own function, or else a stand-in that stops the call if it is ever made.
void* kernel32FunctionFor(const PeImport& import) {
  void* function = import.name.empty() ? nullptr : kernel32Function(import.name);
  if (function != nullptr) return function;
  const std::string name =
      import.name.empty() ? "#" + std::to_string(import.ordinal) : std::string(import.name);
  return standInFor(std::string(import.module) + "!" + name);
}

std::optional<LoadFailure> bindImports(Loading& loading) {
  std::vector<PeImport> imports;
  if (auto failure = readImports(loading.image.bytes(), loading.headers, imports)) return failure;
  if (auto failure = foreignModules(imports)) return failure;
  std::vector<void*> functions;
  for (const PeImport& import : imports) {
    void* function = kernel32FunctionFor(import);
    if (function == nullptr) {
      return refusedBy(LoadProblem::UnsupportedImage, ImageCheck::TooManyMissingFunctions,
                       STAND_IN_COUNT);
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

// The module's TLS block, from its template, and its index where its code reads it. The thread
// environment keeps the block from then on.
std::optional<LoadFailure> prepareTls(Loading& loading) {
  const auto base = reinterpret_cast<std::uintptr_t>(loading.image.base());
  if (auto failure = readTls(loading.image.bytes(), loading.headers, base, loading.tls)) {
    return failure;
  }
  const PeTls& tls = loading.tls;
  if (!tls.present) return {};
  const std::size_t alignment = std::max<std::size_t>(tls.alignment, alignof(std::max_align_t));
  const std::size_t size = tls.templateSize + tls.zeroFill + 1;
  void* memory = nullptr;
  if (posix_memalign(&memory, alignment, size) != 0) return systemFailure(ENOMEM);
  UniqueTlsBlock block(memory);
  std::memset(block.get(), 0, size);
  std::memcpy(block.get(), loading.image.base() + tls.templateRva, tls.templateSize);
  setModuleTlsBlock(std::move(block));
  const std::uint32_t index = MODULE_TLS_INDEX;
  std::memcpy(loading.image.base() + tls.indexRva, &index, sizeof index);
  return {};
}

std::optional<LoadFailure> protectSections(const Loading& loading) {
  for (const PeProtection& range : protectionPlan(loading.headers)) {
    const int prot = (range.readable ? PROT_READ : 0) | (range.writable ? PROT_WRITE : 0) |
                     (range.executable ? PROT_EXEC : 0);
    if (mprotect(loading.image.base() + range.offset, range.size, prot) != 0) {
      return systemFailure(errno);
    }
  }
  return {};
}

ProcessDescription describe(const Loading& loading, const std::string& path) {
  ProcessDescription process;
  process.heap = processHeapHandle();
  process.imageBase = loading.image.base();
  process.imageSize = loading.headers.sizeOfImage;
  if (loading.headers.entryPoint != 0) {
    process.entryPoint = loading.image.base() + loading.headers.entryPoint;
  }
  process.imagePath = path;
  process.commandLine = windowsCommandLine();
  for (int k = 0; k < 3; ++k) process.standardHandles[k] = standardHandle(k);
  for (std::uint32_t k = 0; k < PROCESSOR_FEATURE_COUNT; ++k) {
    process.processorFeatures[k] = processorFeaturePresent(k);
  }
  return process;
}

struct Start {
  const Loading* loading;
  bool succeeded = true;
};

// TLS callbacks first, then the entry point, as Windows runs them on a load.
void start(void* context) {
  Start& run = *static_cast<Start*>(context);
  std::uint8_t* base = run.loading->image.base();
  for (const std::uint32_t callback : run.loading->tls.callbacks) {
    reinterpret_cast<TlsCallback>(base + callback)(base, pe::REASON_PROCESS_ATTACH, nullptr);
  }
  if (run.loading->headers.entryPoint == 0) return;
  const auto entry = reinterpret_cast<EntryPoint>(base + run.loading->headers.entryPoint);
  run.succeeded = entry(base, pe::REASON_PROCESS_ATTACH, nullptr) != 0;
}

std::optional<LoadFailure> initialise(const Loading& loading, const std::string& path) {
  const OsResult installed = installThreadEnvironment(describe(loading, path));
  if (!installed.ok()) return systemFailure(installed.osError);
  LoadedImage image{loading.image.base(), mappedImageSize(loading.headers), path, 0, 0};
  readFunctionTable(loading.image.bytes(), loading.headers, image.functionTable,
                    image.functionCount);
  setLoadedLibrary(image);
  Start run{&loading};
  LoadFailure stopped = refusedBy(LoadProblem::InitialisationStopped);
  stopped.imageBase = reinterpret_cast<std::uintptr_t>(image.base);
  stopped.imageSize = image.size;
  if (!runGuarded(start, &run, stopped.stop)) return stopped;
  if (run.succeeded) return std::nullopt;
  return refusedBy(LoadProblem::InitialisationFailed);
}

// The export is found while every page can still be read, and before any of the library's
// code runs: a library that lacks it is refused without having run.
std::optional<LoadFailure> load(Loading& loading, const std::string& path,
                                std::string_view exportName) {
  if (auto failure = openLibraryFile(path, loading)) return failure;
  if (auto failure = readHeaders(loading)) return failure;
  if (auto failure = mapImage(loading)) return failure;
  if (auto failure = bindImports(loading)) return failure;
  if (auto failure = prepareTls(loading)) return failure;
  if (auto failure =
          findExport(loading.image.bytes(), loading.headers, exportName, loading.exported)) {
    return failure;
  }
  if (auto failure = protectSections(loading)) return failure;
  return initialise(loading, path);
}

}  // namespace

WindowsLibrary loadWindowsLibrary(const std::string& path, std::string_view exportName) {
  Loading loading;
  WindowsLibrary library;
  library.failure = load(loading, path, exportName);
  if (library.failure) {
    setLoadedLibrary({});
    return library;
  }
  library.size = mappedImageSize(loading.headers);
  library.base = loading.image.release();
  library.exported = library.base + loading.exported;
  return library;
}

}  // namespace quarry
