#include "support/json_line.h"

#include "base/unicode.h"

namespace quarry::testing {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool takeWord(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool take(char expected) {
    if (at_ >= text_.size() || text_[at_] != expected) return false;
    ++at_;
    return true;
  }
  bool atEnd() const { return at_ == text_.size(); }
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

  std::optional<std::uint64_t> number() {
    const std::size_t start = at_;
    std::uint64_t value = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      const std::uint64_t digit = static_cast<std::uint64_t>(text_[at_++] - '0');
      if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
    }
    const bool leadingZero = at_ - start > 1 && text_[start] == '0';
    if (at_ == start || leadingZero) return std::nullopt;
    return value;
  }

  std::optional<std::string> string() {
    if (!take('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      const auto byte = static_cast<unsigned char>(text_[at_]);
      if (byte < 0x20) return std::nullopt;
      if (byte != '\\') {
        out += text_[at_++];
      } else if (!escape(out)) {
        return std::nullopt;
      }
    }
    if (!take('"') || !isStrictUtf8(out)) return std::nullopt;
    return out;
  }

 private:
  std::optional<char32_t> hexUnit() {
    if (text_.size() - at_ < 4) return std::nullopt;
    char32_t value = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value << 4 | static_cast<char32_t>(digit);
    }
    return value;
  }

  // \uXXXX, with a surrogate pair joined and a lone surrogate refused.
  bool unicodeEscape(std::string& out) {
    std::optional<char32_t> unit = hexUnit();
    if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return false;
    if (*unit >= 0xD800 && *unit <= 0xDBFF) {
      if (!take('\\') || !take('u')) return false;
      const std::optional<char32_t> low = hexUnit();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
    }
    appendUtf8(out, *unit);
    return true;
  }

  bool escape(std::string& out) {
    ++at_;
    if (at_ >= text_.size()) return false;
    const char c = text_[at_++];
    static const std::string_view SIMPLE = "\"\\/bfnrt";
    static const std::string_view MEANING = "\"\\/\b\f\n\r\t";
    if (c == 'u') return unicodeEscape(out);
    const std::size_t which = SIMPLE.find(c);
    if (which == std::string_view::npos) return false;
    out += MEANING[which];
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

std::optional<JsonValue> readValue(Reader& reader) {
  JsonValue value;
  for (const std::string_view word : {"true", "false"}) {
    if (!reader.takeWord(word)) continue;
    value.isBoolean = true;
    value.number = word == "true";
    return value;
  }
  if (reader.peek() == '"') {
    std::optional<std::string> text = reader.string();
    if (!text) return std::nullopt;
    value.isString = true;
    value.text = std::move(*text);
    return value;
  }
  const std::optional<std::uint64_t> number = reader.number();
  if (!number) return std::nullopt;
  value.number = *number;
  return value;
}

}  // namespace

std::optional<std::map<std::string, JsonValue>> readJsonObject(std::string_view line) {
  Reader reader(line);
  std::map<std::string, JsonValue> members;
  if (!reader.take('{')) return std::nullopt;
  for (bool first = true; !reader.take('}'); first = false) {
    if (!first && !reader.take(',')) return std::nullopt;
    std::optional<std::string> name = reader.string();
    if (!name || !reader.take(':')) return std::nullopt;
    std::optional<JsonValue> value = readValue(reader);
    if (!value || !members.emplace(std::move(*name), std::move(*value)).second) {
      return std::nullopt;
    }
  }
  if (!reader.atEnd()) return std::nullopt;
  return members;
}

std::optional<std::string> bytesFromHex(std::string_view hex) {
  static const std::string_view DIGITS = "0123456789abcdef";
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t k = 0; k < hex.size(); k += 2) {
    const std::size_t high = DIGITS.find(hex[k]);
    const std::size_t low = DIGITS.find(hex[k + 1]);
    if (high == std::string_view::npos || low == std::string_view::npos) return std::nullopt;
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

}  // namespace quarry::testing
