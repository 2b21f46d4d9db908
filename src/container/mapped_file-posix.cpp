#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "base/file_identity-posix.h"
#include "base/stop.h"
#include "base/unicode.h"
#include "base/unique_fd-posix.h"
#include "container/mapped_file.h"

namespace quarry {
namespace {

// A mapping watched for the SIGBUS that reading it raises once its file was cut short.
struct ShrinkGuard {
  std::atomic<std::uintptr_t> start{0};
  std::atomic<std::uintptr_t> end{0};
};

// One per container a run keeps mapped: a game folder's dozens, within the usual limit of
// 1,024 descriptors.
constexpr int GUARD_SLOTS = 1024;
ShrinkGuard guards[GUARD_SLOTS];
// Asked once, before main, so that the fault handler only reads it.
const auto PAGE_SIZE = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));

// The largest span one page fault may map of a table of the container.
constexpr std::uint64_t FAULT_CHUNK = std::uint64_t{256} << 10;

// Pages past the file's new end are replaced by zeros, so the read that faulted goes on; the
// run sees the stop before it acts on anything it read. A fault anywhere else is a real one:
// the default action then ends the process when the access runs again.
void onBusError(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (ShrinkGuard& guard : guards) {
    const std::uintptr_t end = guard.end.load();
    if (address < guard.start.load() || address >= end) continue;
    const std::uintptr_t page = roundDown(address, PAGE_SIZE);
    mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    requestStop(StopCause::ContainerCutShort);
    return;
  }
  signal(SIGBUS, SIG_DFL);
}

void installBusErrorHandler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)installed;
}

int watch(ByteSpan bytes) {
  installBusErrorHandler();
  const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
  for (int slot = 0; slot < GUARD_SLOTS; ++slot) {
    std::uintptr_t free = 0;
    if (!guards[slot].start.compare_exchange_strong(free, start)) continue;
    guards[slot].end = start + bytes.size();
    return slot;
  }
  return -1;
}

void unwatch(int slot) {
  if (slot < 0) return;
  guards[slot].end = 0;
  guards[slot].start = 0;
}

// Only a regular file with bytes in it is mapped.
std::optional<OpenFailure> checkMappable(const struct stat& status) {
  if (S_ISDIR(status.st_mode)) return OpenFailure(OpenProblem::IsADirectory);
  if (!S_ISREG(status.st_mode)) return OpenFailure(OpenProblem::NotARegularFile);
  if (status.st_size == 0) return OpenFailure(OpenProblem::Empty);
  return std::nullopt;
}

// A file system that caches in large folios maps a whole folio (up to 2 MiB) on one fault, but
// never past the mapping area that faulted. Marking every other chunk of region not to be
// dumped (which changes nothing else) cuts it into areas of one chunk each.
void cutIntoChunks([[maybe_unused]] ByteSpan region) {
#ifdef MADV_DONTDUMP  // Linux
  constexpr std::uint64_t MOST_AREAS = 4096;
  const std::uint64_t chunk =
      roundUp(std::max<std::uint64_t>(FAULT_CHUNK, region.size() / MOST_AREAS), PAGE_SIZE);
  const std::uintptr_t start = roundUp(reinterpret_cast<std::uintptr_t>(region.data()), PAGE_SIZE);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(region.data() + region.size());
  for (std::uintptr_t at = start + chunk; at < end; at += 2 * chunk) {
    madvise(reinterpret_cast<void*>(at), std::min<std::uintptr_t>(chunk, end - at), MADV_DONTDUMP);
  }
#endif
}

}  // namespace

void MappedFile::release() {
  unwatch(guard_);
  if (!bytes_.empty()) munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
  file_.reset();
  bytes_ = {};
  guard_ = -1;
}

std::optional<FileIdentity> MappedFile::identity() const {
  struct stat status {};
  if (!file_.valid() || fstat(file_.get(), &status) != 0) return std::nullopt;
  return identityOf(status);
}

void MappedFile::releasePages(std::uint64_t low, std::uint64_t high) const {
  // Every page the range touches; a neighbour's bytes on the same page come back from the
  // page cache when they are read. Only for this read-only file mapping: on other memory it
  // would discard data.
  const auto base = reinterpret_cast<std::uintptr_t>(bytes_.data());
  const std::uintptr_t start = roundDown(base + low, PAGE_SIZE);
  const std::uintptr_t end = roundUp(base + high, PAGE_SIZE);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

void MappedFile::boundFaults(const RegionSpans& regions) const {
  for (const ByteSpan region : regions) cutIntoChunks(region);
}

void MappedFile::confirmWhole() const {
  struct stat status {};
  if (!file_.valid() || fstat(file_.get(), &status) != 0) return;
  if (static_cast<std::uint64_t>(status.st_size) < bytes_.size()) {
    requestStop(StopCause::ContainerCutShort);
  }
}

std::optional<OpenFailure> mapWholeFile(const std::u16string& path, MappedFile& out) {
  out = MappedFile();
  // Non-blocking, so that a FIFO or a device given as the container cannot hold the open.
  UniqueFd file(open(encodeLossless(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0) {
    return OpenFailure(OpenProblem::CannotOpen, errno);
  }
  if (auto refused = checkMappable(status)) return refused;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  void* base = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
  if (base == MAP_FAILED) return OpenFailure(OpenProblem::CannotOpen, errno);
  out.bytes_ = ByteSpan(static_cast<const std::uint8_t*>(base), size);
  out.file_ = std::move(file);
  out.guard_ = watch(out.bytes_);
  // A mapping nobody watches would end the process when its file is cut short.
  if (out.guard_ < 0) {
    out = MappedFile();
    return OpenFailure(OpenProblem::CannotOpen, EMFILE);
  }
  return std::nullopt;
}

}  // namespace quarry
