// The directory chain above an entry's file: one creation call per component, every
// component attempted, and the error worth reporting chosen from what each call said.
#pragma once

#include <functional>
#include <string>
#include <unordered_set>

namespace quarry {

enum class CreateOutcome {
  Created,
  AlreadyExists,  // whatever stands there, a file included
  NotFound,       // the platform's "path not found" family: something above is missing
  Failed,         // any other refusal
};

struct CreateResult {
  CreateOutcome outcome = CreateOutcome::Created;
  int code = 0;  // the platform's error number when not Created
};

using CreateDirectoryCall = std::function<CreateResult(const std::u16string& directory)>;

// Creates one directory on disk (no special rights asked for).
CreateResult createDirectoryOnDisk(const std::u16string& directory);

struct DirectoryResult {
  int code = 0;           // 0 when the parent directory now exists, else the error number
  std::u16string parent;  // the directory that was to exist
};

// Creates every directory above outputPath with create. The result's code is the last
// component's; when that is an error, a refusal higher up (other than not-found) wins.
DirectoryResult ensureParentDirectories(const std::u16string& outputPath,
                                        const CreateDirectoryCall& create = createDirectoryOnDisk);

// The parent directories made so far in a run: a container holds many entries per folder,
// and walking the whole chain again for each costs more than writing a small file.
struct MadeDirectories {
  std::unordered_set<std::u16string> parents;
};

// As above, but a parent made earlier in the run is taken as still there without a call.
DirectoryResult ensureParentDirectories(const std::u16string& outputPath, MadeDirectories& made,
                                        const CreateDirectoryCall& create = createDirectoryOnDisk);

}  // namespace quarry
