#include "extract/paths.h"

#include "base/ascii_case.h"

namespace quarry {
namespace {

template <typename Char>
bool isAsciiLetter(Char c) {
  return (c >= Char('a') && c <= Char('z')) || (c >= Char('A') && c <= Char('Z'));
}

template <typename Char>
bool isDevicePrefix(std::basic_string_view<Char> path) {
  if (path.size() < 4 || !isSeparator(path[3])) return false;
  if (path.size() > 4 && isSeparator(path[4])) return false;
  const bool dotOrQuestion = path[2] == Char('?') || path[2] == Char('.');
  const bool doubleSeparator = isSeparator(path[0]) && isSeparator(path[1]) && dotOrQuestion;
  const bool questionPair = isSeparator(path[0]) && path[1] == Char('?') && path[2] == Char('?');
  return doubleSeparator || questionPair;
}

template <typename Char>
std::size_t serverPrefixEnd(std::basic_string_view<Char> path) {
  for (std::size_t at = 3; at < path.size(); ++at) {
    if (isSeparator(path[at])) return at;
  }
  return path.size();
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 name devices on Windows, whatever follows a dot,
// and so do COM and LPT with a superscript digit.
template <typename Char>
bool isReservedDeviceName(std::basic_string_view<Char> component) {
  std::basic_string_view<Char> base = component.substr(0, component.find(Char('.')));
  while (!base.empty() && base.back() == Char(' ')) base.remove_suffix(1);
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (equalIgnoringCase(base, device)) return true;
  }
  if (base.size() != 4) return false;
  const bool port = equalIgnoringCase(base.substr(0, 3), std::u16string_view(u"COM")) ||
                    equalIgnoringCase(base.substr(0, 3), std::u16string_view(u"LPT"));
  const auto digit = static_cast<char16_t>(base[3]);
  const bool portDigit = (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' ||
                         digit == u'\u00B2' || digit == u'\u00B3';
  return port && portDigit;
}

template <typename Char>
std::optional<NameProblem> windowsComponentRefusal(std::basic_string_view<Char> component) {
  if (component.find(Char(':')) != component.npos) return NameProblem::HasColon;
  if (isReservedDeviceName(component)) return NameProblem::HasDeviceName;
  // Windows drops a trailing dot or space when it stores a name, so "..." could act as "..".
  const Char last = component.back();
  const bool currentFolder = component.size() == 1 && last == Char('.');
  if (!currentFolder && (last == Char('.') || last == Char(' '))) {
    return NameProblem::HasTrailingDotOrSpace;
  }
  return std::nullopt;
}

template <typename Char>
std::size_t rootNameEndOf(std::basic_string_view<Char> path) {
  if (path.size() < 2) return 0;
  if (isAsciiLetter(path[0]) && path[1] == Char(':')) return 2;
  if (!isSeparator(path[0])) return 0;
  if (isDevicePrefix(path)) return 3;
  if (path.size() >= 3 && isSeparator(path[1]) && !isSeparator(path[2])) {
    return serverPrefixEnd(path);
  }
  return 0;
}

template <typename Char>
std::size_t rootPartEndOf(std::basic_string_view<Char> path) {
  std::size_t end = rootNameEndOf(path);
  while (end < path.size() && isSeparator(path[end])) ++end;
  return end;
}

template <typename Char>
std::optional<NameProblem> nameRefusalOf(std::basic_string_view<Char> name, bool windowsRules) {
  if (rootNameEndOf(name) > 0) return NameProblem::HasPrefix;
  if (!name.empty() && isSeparator(name[0])) return NameProblem::StartsWithSeparator;
  std::optional<NameProblem> refusal;
  forEachComponent(name, [&](std::basic_string_view<Char> component) {
    if (refusal) return;
    const bool up = component.size() == 2 && component[0] == Char('.') && component[1] == Char('.');
    if (up) {
      refusal = NameProblem::HasParentComponent;
    } else if (windowsRules) {
      refusal = windowsComponentRefusal(component);
    }
  });
  return refusal;
}

NameFailure pathTooLong() {
  NameFailure failure(NameProblem::PathTooLong);
  failure.limit = PATH_LIMIT - 1;
  return failure;
}

// Where the name's last component begins in path.
std::size_t leafStart(const OutputPath& target) {
  std::size_t at = target.path.size();
  while (at > target.nameStart && !isSeparator(target.path[at - 1])) --at;
  return at;
}

}  // namespace

std::size_t rootNameEnd(std::u16string_view path) {
  return rootNameEndOf(path);
}

std::size_t rootPartEnd(std::u16string_view path) {
  return rootPartEndOf(path);
}

std::optional<NameProblem> nameRefusal(std::u16string_view name, bool windowsRules) {
  return nameRefusalOf(name, windowsRules);
}

std::optional<NameProblem> nameRefusal(std::string_view name, bool windowsRules) {
  return nameRefusalOf(name, windowsRules);
}

std::u16string joinBelow(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder);
  const bool driveAlone = folder.size() == 2 && rootNameEnd(folder) == 2;
  if (!folder.empty() && !isSeparator(folder.back()) && !driveAlone) path.push_back(u'\\');
  path.append(name);
  return path;
}

std::optional<NameFailure> outputPathFor(PathView outputFolder, std::string_view name,
                                         OutputPath& out) {
  if (name.size() / MOST_BYTES_PER_PATH_UNIT >= PATH_LIMIT) return pathTooLong();
  PathString converted;
  if (auto failure = convertEntryName(name, converted)) return failure;
  if (const auto refusal = nameRefusal(converted, WINDOWS_NAME_RULES)) {
    return NameFailure(*refusal);
  }
  out = joinOutputPath(outputFolder, converted);
  if (out.path.size() >= PATH_LIMIT) return pathTooLong();
  return std::nullopt;
}

std::u16string parentPathOf(std::u16string_view outputPath) {
  const std::size_t rootEnd = rootPartEnd(outputPath);
  std::size_t end = outputPath.size();
  if (end == rootEnd) return std::u16string(outputPath);
  while (end > rootEnd && !isSeparator(outputPath[end - 1])) --end;
  while (end > rootEnd && isSeparator(outputPath[end - 1])) --end;
  return std::u16string(outputPath.substr(0, end));
}

PathView relativeParentOf(const OutputPath& target) {
  std::size_t end = leafStart(target);
  while (end > target.nameStart && isSeparator(target.path[end - 1])) --end;
  return PathView(target.path).substr(target.nameStart, end - target.nameStart);
}

PathView leafOf(const OutputPath& target) {
  return PathView(target.path).substr(leafStart(target));
}

PathString sameFileKey(const OutputPath& target) {
  const PathView leaf = leafOf(target);
  if (leaf.empty() || leaf == PathView(PathString(1, PathChar('.')))) return {};
  PathString key;
  forEachComponent(PathView(target.path).substr(target.nameStart), [&key](PathView component) {
    if (component.size() == 1 && component[0] == PathChar('.')) return;
    if (!key.empty()) key.push_back(PathChar('/'));
    for (const PathChar unit : component)
      key.push_back(WINDOWS_NAME_RULES ? asciiUpper(unit) : unit);
  });
  return key;
}

}  // namespace quarry
