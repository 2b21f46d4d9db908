#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "extract/linux_calls.h"

namespace quarry {
namespace {

// Once the kernel says it lacks a call, it is not asked again.
std::atomic<bool> beneathMissing{false};
std::atomic<bool> unnamedMissing{false};
std::atomic<bool> noReplaceMissing{false};

bool callMissing(int code) {
  return code == ENOSYS || code == EPERM || code == E2BIG;
}

// The file system cannot hold a file without a name (or the kernel is too old).
bool unnamedRefused(int code) {
  return code == EOPNOTSUPP || code == EISDIR || code == EINVAL || code == ENOSYS;
}

}  // namespace

int openBeneath(int base, const char* relative, int flags) {
  if (beneathMissing.load(std::memory_order_relaxed)) return CALL_MISSING;
  open_how how{};
  how.flags = static_cast<unsigned>(flags) | O_CLOEXEC;
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, base, relative, &how, sizeof how);
  if (fd >= 0) return static_cast<int>(fd);
  if (!callMissing(errno)) return -1;
  beneathMissing = true;
  return CALL_MISSING;
}

int openUnnamedFile(int parent) {
  // Naming the file later goes through /proc; without it, hidden names serve instead.
  static const bool procMounted = access("/proc/self/fd", F_OK) == 0;
  if (!procMounted || unnamedMissing.load(std::memory_order_relaxed)) return CALL_MISSING;
  const int fd = openat(parent, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0 || !unnamedRefused(errno)) return fd;
  unnamedMissing = true;
  return CALL_MISSING;
}

int nameUnnamedFile(int file, int parent, const char* name) {
  // Through /proc, which needs no privilege; the empty path needs CAP_DAC_READ_SEARCH.
  const std::string self = "/proc/self/fd/" + std::to_string(file);
  if (linkat(AT_FDCWD, self.c_str(), parent, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  // Taken, or the folder is gone: the other way would only answer less.
  if (errno == EEXIST || errno == ENOENT) return errno;
  if (linkat(file, "", parent, name, AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

}  // namespace quarry

namespace quarry {

int renameWithoutReplacing(int folder, const char* from, const char* name) {
  if (noReplaceMissing.load(std::memory_order_relaxed)) return CALL_MISSING;
  if (syscall(SYS_renameat2, folder, from, folder, name, RENAME_NOREPLACE) == 0) return 0;
  // Not every file system can refuse to replace in the rename itself.
  if (errno != EINVAL && errno != ENOSYS) return errno;
  noReplaceMissing = true;
  return CALL_MISSING;
}

}  // namespace quarry
