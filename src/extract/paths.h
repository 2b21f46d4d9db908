// Where an entry's file goes: the path grammar (both slashes separate; drive, device and
// server prefixes), the refusals that keep every file below the output folder, the join and
// the parent path.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "extract/problems.h"

namespace quarry {

// Paths as the platform's file calls take them: UTF-16 on Windows, bytes (UTF-8) on POSIX.
// WINDOWS_NAME_RULES: whether names are also held to what Windows cannot store (a colon, a
// device name, a trailing dot or space). MOST_BYTES_PER_PATH_UNIT: the most bytes of an entry's
// name that one unit of the converted path can come from.
#ifdef _WIN32
using PathChar = char16_t;
constexpr std::size_t PATH_LIMIT = 32767;  // UTF-16 units a path may hold, terminator included
constexpr bool WINDOWS_NAME_RULES = true;
constexpr std::size_t MOST_BYTES_PER_PATH_UNIT = 3;  // a code page's longest unit
#else
using PathChar = char;
constexpr std::size_t PATH_LIMIT = 4096;  // bytes a path may hold, terminator included
constexpr bool WINDOWS_NAME_RULES = false;
constexpr std::size_t MOST_BYTES_PER_PATH_UNIT = 1;
#endif
using PathString = std::basic_string<PathChar>;
using PathView = std::basic_string_view<PathChar>;

template <typename Char>
constexpr bool isSeparator(Char c) {
  return c == Char('\\') || c == Char('/');
}

// Calls visit(component), or visit(component, end) where it takes the offset past it; false
// when visit answered false.
template <typename Char, typename Visit>
bool visitComponent(Visit& visit, std::basic_string_view<Char> component, std::size_t end) {
  if constexpr (std::is_invocable_v<Visit&, std::basic_string_view<Char>, std::size_t>) {
    if constexpr (std::is_same_v<decltype(visit(component, end)), bool>) {
      return visit(component, end);
    } else {
      visit(component, end);
      return true;
    }
  } else if constexpr (std::is_same_v<decltype(visit(component)), bool>) {
    return visit(component);
  } else {
    visit(component);
    return true;
  }
}

// Calls visit with each component of path in order: what lies between separators, either
// slash, empty ones skipped; with the offset just past it too when visit takes two arguments.
// A visit that answers false ends the walk.
template <typename Char, typename Visit>
void forEachComponent(std::basic_string_view<Char> path, Visit visit) {
  std::size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && isSeparator(path[at])) ++at;
    std::size_t end = at;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end == at) break;
    const std::basic_string_view<Char> component = path.substr(at, end - at);
    if (!visitComponent(visit, component, end)) return;
    at = end;
  }
}

// The Windows grammar. Entry names are judged by it on every platform, so a container
// extracts the same way everywhere; the output folder is read by it on Windows only.
// Length of the path's root name (drive, device or server prefix); 0 when it has none.
std::size_t rootNameEnd(std::u16string_view path);
// Where the relative part begins: after the root name and the separators that follow it.
std::size_t rootPartEnd(std::u16string_view path);

// Why the entry name must not be joined below the output folder (it could reach outside it,
// or, with windowsRules, name something other than a plain file), or nothing.
std::optional<NameProblem> nameRefusal(std::u16string_view name, bool windowsRules);
std::optional<NameProblem> nameRefusal(std::string_view name, bool windowsRules);

// The output folder and a relative name joined with one backslash where one is needed.
std::u16string joinBelow(std::u16string_view folder, std::u16string_view name);

// The directory that must exist for the path: the path less its last component and the
// separators before it, never cutting into the root part.
std::u16string parentPathOf(std::u16string_view outputPath);

// An entry's file: the output folder joined with the entry's name. On POSIX the folder is a
// plain path, joined with a slash, and the name's backslashes are written as slashes.
struct OutputPath {
  PathString path;
  std::size_t nameStart = 0;  // where the entry's name begins in path
};

// The entry's name checked and converted (strictly: UTF-8 on POSIX, the locale's code page
// on Windows), then joined below the folder. Nothing is created.
std::optional<NameFailure> outputPathFor(PathView outputFolder, std::string_view name,
                                         OutputPath& out);

// A path from the command line as the platform's file calls take it.
PathString nativePath(const std::u16string& path);

// The folder and an entry's name (already converted and checked) joined: on Windows with a
// backslash and the name's slashes made backslashes (below a \\?\ folder Windows takes a
// slash literally); on POSIX with a slash, the name's backslashes made slashes.
OutputPath joinOutputPath(PathView folder, PathView name);

// The entry's name converted for the platform's file calls, or why it cannot be.
std::optional<NameFailure> convertEntryName(std::string_view name, PathString& converted);

// The part of the name above the file (its last component and the separators before it
// dropped): the directories to make below the output folder. Empty for a name of one
// component.
PathView relativeParentOf(const OutputPath& target);

// The last component of the name: the file itself; empty when the name ends in a separator.
PathView leafOf(const OutputPath& target);

// What decides whether two entries land on one file below the output folder: the name's
// components (empty and "." ones dropped) joined by '/', on Windows with a to z made upper
// case, as its file system compares names. Empty for a name that makes no file (it ends in a
// separator or in ".").
PathString sameFileKey(const OutputPath& target);

}  // namespace quarry
