#include <windows.h>

#include "extract/directories.h"
#include "extract/text.h"

namespace quarry {

CreateResult createDirectoryOnDisk(const std::u16string& directory) {
  if (CreateDirectoryW(asWide(directory), nullptr)) return {CreateOutcome::Created, 0};
  const auto code = static_cast<int>(GetLastError());
  if (code == ERROR_ALREADY_EXISTS) return {CreateOutcome::AlreadyExists, code};
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
    return {CreateOutcome::NotFound, code};
  }
  return {CreateOutcome::Failed, code};
}

}  // namespace quarry
