#include "console/bar_drawing.h"

#include <cmath>
#include <string>

namespace quarry {
namespace {

std::uint32_t unitsOf(const char16_t* text) {
  if (text == nullptr) return 0;
  return static_cast<std::uint32_t>(std::char_traits<char16_t>::length(text));
}

// Back ends are handed a real, empty string rather than null.
const char16_t* orEmpty(const char16_t* text) {
  return text != nullptr ? text : u"";
}

void drawBarCells(Console& console, const ProgressBar& bar, std::int32_t space,
                  std::int32_t percent) {
  setForegroundColour(console, bar.barColour);
  const std::int32_t inner = space - BAR_FRAME;
  writeChars(console, u" ", 1);
  writeChars(console, u"[", 1);
  const std::int32_t fill = filledCells(inner, percent);
  writeRepeated(console, u"#", fill);
  writeRepeated(console, u"_", inner - fill);
  writeChars(console, u"]", 1);
}

}  // namespace

void writeRepeated(Console& console, const char16_t* text, std::int32_t count) {
  const std::uint32_t units = unitsOf(text);
  for (std::int32_t k = 0; k < count; ++k) console.writeConsole(orEmpty(text), units);
}

std::int32_t setForegroundColour(Console& console, std::int32_t colour) {
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return 0;
  const auto attributes = static_cast<std::uint16_t>((info.attributes & 0x00F0) | (colour & 0x0F));
  return console.setTextAttribute(attributes) ? 1 : 0;
}

std::int32_t getForegroundColour(Console& console) {
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return 0;
  return info.attributes & 0x0F;
}

std::uint32_t writeChars(Console& console, const char16_t* text, std::uint32_t count) {
  return console.writeConsole(orEmpty(text), count);
}

bool writeString(Console& console, const char16_t* text) {
  const std::uint32_t units = unitsOf(text);
  return console.writeConsole(orEmpty(text), units) == units;
}

std::int32_t clampPercent(std::int32_t percent) {
  if (percent < 1) return 1;
  if (percent > 100) return 100;
  return percent;
}

std::int32_t barSpace(std::int16_t width, std::int16_t anchorColumn, const char16_t* label) {
  const auto labelUnits = static_cast<std::int32_t>(unitsOf(label));
  return std::int32_t{width} - std::int32_t{anchorColumn} - labelUnits;
}

std::int32_t filledCells(std::int32_t inner, std::int32_t percent) {
  // The division comes first and all of it in float: 117 cells at 100% fill 116.
  const float perPercent = static_cast<float>(inner) / 100.0f;
  return static_cast<std::int32_t>(std::floor(perPercent * static_cast<float>(percent)));
}

std::int32_t drawProgressBar(Console& console, const ProgressBar* bar, std::int32_t percent) {
  if (bar == nullptr || bar->active == 0) return 0;
  percent = clampPercent(percent);
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return 0;
  const std::int32_t space = barSpace(info.width, bar->anchor.x, bar->label);
  const std::int32_t saved = getForegroundColour(console);
  console.setCursorPosition(bar->anchor);
  setForegroundColour(console, bar->labelColour);
  writeString(console, bar->label);
  if (space > BAR_FRAME) drawBarCells(console, *bar, space, percent);
  setForegroundColour(console, saved);
  return 1;
}

ConsolePosition getCursorPosition(Console& console) {
  ScreenBufferInfo info;
  if (!console.queryScreenBuffer(info)) return ConsolePosition{};
  return info.cursor;
}

}  // namespace quarry
