// Where an entry's file goes: the path grammar (both slashes separate; drive, device and
// server prefixes), the join below the output folder, and the parent path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarry {

inline bool isSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// Length of the path's root name (drive, device or server prefix); 0 when it has none.
std::size_t rootNameEnd(std::u16string_view path);

// Where the relative part begins: after the root name and the separators that follow it.
std::size_t rootPartEnd(std::u16string_view path);

// Why the entry name must not be joined below the output folder (it could reach outside it,
// or, with windowsRules, name something other than a plain file), or nullptr.
const char* nameRefusal(std::u16string_view name, bool windowsRules);

// The entry name as UTF-16, strictly converted. False with the reason when it cannot be.
bool convertEntryName(std::string_view name, std::u16string& wide, std::string& why);

// The output folder and a relative name joined with one backslash where one is needed.
std::u16string joinBelow(std::u16string_view folder, std::u16string_view name);

struct OutputPath {
  std::u16string path;
  std::string problem;  // empty on success; else why the entry gets no path
};

// The path of the entry's file below the output folder, or why the name is refused.
OutputPath outputPathFor(std::u16string_view outputFolder, const char* name,
                         std::uint64_t nameLength);

// The directory that must exist for the path: the path less its last component and the
// separators before it, never cutting into the root part.
std::u16string parentPathOf(std::u16string_view outputPath);

}  // namespace quarry
