#include "extract/paths.h"

#include <limits>

namespace quarry {
namespace {

bool isAsciiLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isDevicePrefix(std::u16string_view path) {
  if (path.size() < 4 || !isSeparator(path[3])) return false;
  if (path.size() > 4 && isSeparator(path[4])) return false;
  const bool dotOrQuestion = path[2] == u'?' || path[2] == u'.';
  const bool doubleSeparator = isSeparator(path[0]) && isSeparator(path[1]) && dotOrQuestion;
  const bool questionPair = isSeparator(path[0]) && path[1] == u'?' && path[2] == u'?';
  return doubleSeparator || questionPair;
}

std::size_t serverPrefixEnd(std::u16string_view path) {
  for (std::size_t at = 3; at < path.size(); ++at) {
    if (isSeparator(path[at])) return at;
  }
  return path.size();
}

template <typename Visit>
void forEachComponent(std::u16string_view path, Visit visit) {
  std::size_t at = 0;
  while (at < path.size()) {
    while (at < path.size() && isSeparator(path[at])) ++at;
    std::size_t end = at;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end > at) visit(path.substr(at, end - at));
    at = end;
  }
}

char16_t upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c;
}

bool equalsIgnoringCase(std::u16string_view text, std::u16string_view upperCase) {
  if (text.size() != upperCase.size()) return false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    if (upper(text[k]) != upperCase[k]) return false;
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, whatever follows a dot,
// and so do COM and LPT with a superscript digit.
bool isReservedDeviceName(std::u16string_view component) {
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (equalsIgnoringCase(base, device)) return true;
  }
  if (base.size() != 4) return false;
  const bool port = equalsIgnoringCase(base.substr(0, 3), u"COM") ||
                    equalsIgnoringCase(base.substr(0, 3), u"LPT");
  const char16_t digit = base[3];
  const bool portDigit = (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' ||
                         digit == u'\u00B2' || digit == u'\u00B3';
  return port && portDigit;
}

const char* windowsComponentRefusal(std::u16string_view component) {
  if (component.find(u':') != std::u16string_view::npos) {
    return "its name has a colon inside a component";
  }
  if (isReservedDeviceName(component)) return "its name has a reserved device name";
  const char16_t last = component.back();
  if (component != u"." && (last == u'.' || last == u' ')) {
    return "its name has a component that ends in a dot or a space";
  }
  return nullptr;
}

}  // namespace

std::size_t rootNameEnd(std::u16string_view path) {
  if (path.size() < 2) return 0;
  if (isAsciiLetter(path[0]) && path[1] == u':') return 2;
  if (!isSeparator(path[0])) return 0;
  if (isDevicePrefix(path)) return 3;
  if (path.size() >= 3 && isSeparator(path[1]) && !isSeparator(path[2])) {
    return serverPrefixEnd(path);
  }
  return 0;
}

std::size_t rootPartEnd(std::u16string_view path) {
  std::size_t end = rootNameEnd(path);
  while (end < path.size() && isSeparator(path[end])) ++end;
  return end;
}

const char* nameRefusal(std::u16string_view name, bool windowsRules) {
  if (rootNameEnd(name) > 0) return "its name has a drive, device or server prefix";
  if (!name.empty() && isSeparator(name[0])) return "its name starts with a separator";
  const char* refusal = nullptr;
  forEachComponent(name, [&](std::u16string_view component) {
    if (refusal != nullptr) return;
    if (component == u"..") {
      refusal = "its name has a '..' component";
    } else if (windowsRules) {
      refusal = windowsComponentRefusal(component);
    }
  });
  return refusal;
}

std::u16string joinBelow(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder);
  const bool driveAlone = folder.size() == 2 && rootNameEnd(folder) == 2;
  if (!folder.empty() && !isSeparator(folder.back()) && !driveAlone) path.push_back(u'\\');
  path.append(name);
  return path;
}

OutputPath outputPathFor(std::u16string_view outputFolder, const char* name,
                         std::uint64_t nameLength) {
  OutputPath result;
  if (nameLength > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    result.problem = "its name is longer than 2 GiB";
    return result;
  }
  std::u16string wideName;
  if (!convertEntryName({name, static_cast<std::size_t>(nameLength)}, wideName, result.problem)) {
    return result;
  }
#ifdef _WIN32
  constexpr bool WINDOWS_RULES = true;
#else
  constexpr bool WINDOWS_RULES = false;
#endif
  if (const char* refusal = nameRefusal(wideName, WINDOWS_RULES)) {
    result.problem = refusal;
    return result;
  }
  result.path = joinBelow(outputFolder, wideName);
  return result;
}

std::u16string parentPathOf(std::u16string_view outputPath) {
  const std::size_t rootEnd = rootPartEnd(outputPath);
  std::size_t end = outputPath.size();
  if (end == rootEnd) return std::u16string(outputPath);
  while (end > rootEnd && !isSeparator(outputPath[end - 1])) --end;
  while (end > rootEnd && isSeparator(outputPath[end - 1])) --end;
  return std::u16string(outputPath.substr(0, end));
}

}  // namespace quarry
