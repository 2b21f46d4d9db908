// One entry's file, written whole into its open folder: the content goes into a temporary
// (without a name where the system allows), which then takes the entry's name in one step,
// only while the name is free, or in place of a regular file that may be replaced. So a run
// killed at any instant leaves under the name nothing, the old file or the whole new one; a
// file that exists is never written through (a hard link to a file outside keeps its bytes);
// and what this run made is removed when the write fails or the run stops. The one exception
// is the file system's: a new file smaller than its inPlaceLimit() is written at its name,
// where a temporary would cost more than the file (a run killed then may leave it torn).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "extract/file_system.h"
#include "extract/paths.h"
#include "extract/payload.h"

namespace quarry {

// What happens to an entry whose file already exists.
enum class ExistingFiles : std::uint8_t { Replace, Keep };
enum class WriteOutcome : std::uint8_t { Written, Kept };

// Why a write that failed may go through when it is tried again, afresh.
enum class Retry : std::uint8_t {
  No,
  FolderGone,    // the folder went away since it was opened
  OutOfHandles,  // the system had no descriptor or handle to spare
};

struct WriteAnswer {
  std::optional<OutputFailure> failure;
  Retry retry = Retry::No;
  WriteOutcome outcome = WriteOutcome::Written;
};

// Writes the payload as the entry's file in folder (open, the entry's parent). A link, a
// folder, a device or a protected file at the name is refused and left as it is.
WriteAnswer writeFileIn(FileSystem& files, FsHandle folder, const OutputPath& target,
                        const Payload& payload, ExistingFiles existing,
                        const std::vector<ProtectedFile>& protectedFiles);

}  // namespace quarry
