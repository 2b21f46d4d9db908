#include <sys/stat.h>

#include <cerrno>

#include "extract/directories.h"
#include "extract/text.h"

namespace quarry {

CreateResult createDirectoryOnDisk(const std::u16string& directory) {
  if (mkdir(nativePosixPath(directory).c_str(), 0777) == 0) return {CreateOutcome::Created, 0};
  const int code = errno;
  if (code == EEXIST) return {CreateOutcome::AlreadyExists, code};
  if (code == ENOENT || code == ENOTDIR) return {CreateOutcome::NotFound, code};
  return {CreateOutcome::Failed, code};
}

}  // namespace quarry
