// The folders of a path made one creation call per component, every component attempted, and
// the answer worth reporting chosen from what each call said.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "extract/file_system.h"

namespace quarry {

// Makes the one folder at the path given: Done, Exists (whatever stands there), Missing (a
// folder above is not there) or Failed.
template <typename Char>
using MakeFolderCall = std::function<FsResult(const std::basic_string<Char>& folder)>;

// Calls make on every prefix of path that ends a component after start, splitting at
// characters for which isSeparator holds. Done when the last folder now exists; else the last
// component's answer, unless a refusal higher up (other than Missing) explains it better.
template <typename Char, typename IsSeparator>
FsResult makeFolderChain(const std::basic_string<Char>& path, std::size_t start,
                         const MakeFolderCall<Char>& make, IsSeparator isSeparator) {
  FsResult last;
  FsResult latestRefusal;
  std::size_t at = start;
  while (at < path.size()) {
    while (at < path.size() && isSeparator(path[at])) ++at;
    while (at < path.size() && !isSeparator(path[at])) ++at;
    const FsResult made = make(path.substr(0, at));
    last = made.ok() || made.outcome == FsOutcome::Exists ? FsResult{} : made;
    if (made.outcome == FsOutcome::Failed) latestRefusal = made;
  }
  return !last.ok() && !latestRefusal.ok() ? latestRefusal : last;
}

// Makes the folder and every folder above it, in the Windows grammar: its root part (drive,
// server share, device prefix) is never asked for.
FsResult makeFolderPath(std::u16string_view folder, const MakeFolderCall<char16_t>& make);

}  // namespace quarry
