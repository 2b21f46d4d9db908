// What the test decoder library records about each call, so tests can check how the program
// under test calls its decoder. Both the library (which writes the log) and the tests (which
// read it) use these helpers, so the two cannot drift apart.
//
// Controls, read from the environment at every call (only the test library reads them):
//   QUARRY_TEST_DECODER_LOG   a file to which each call appends one line, created if missing.
//                             When it cannot be opened or written, the call fails (-1), so an
//                             unrecorded call is never taken for no call at all.
//   QUARRY_TEST_DECODER_SKEW  a signed decimal integer (e.g. -1, +1) added to the count that a
//                             call reports, to play a decoder that miscounts. Unset or empty
//                             means 0; anything else that is not a whole number fails the call.
//   QUARRY_TEST_DECODER_CUT   "<size>:<path>" (POSIX only): before decoding, the file at path is
//                             cut to size bytes, as another program might cut the container
//                             the program is reading.
//   QUARRY_TEST_DECODER_CRASH "<how>:<expected size>": a call whose expected size is that
//                             number never returns: "segv" writes through a null pointer,
//                             "abort" aborts, "ill" runs an illegal instruction, "fpe" divides
//                             by zero, "stack" recurses without end, "import" calls CreateEventW
//                             (which only the extra-import Windows variant imports). The bare
//                             Windows variants know "segv" and "import".
//
// Each line is space-separated key=value fields, always in this order:
//   call=decoded compressed=<n> output=<null|set> expected=<n> produced=<n> result=<n>
//   call=refused compressed=<n> output=<null|set> expected=<n> produced=0 result=-1
// compressed and expected are the sizes passed in, output tells whether the output pointer was
// null, produced is how many bytes were decoded into the output and result what was returned
// (produced plus the skew). A call is refused, writing nothing, when a size is negative, a
// pointer is null with a non-zero size, one of the ten trailing arguments is not zero, the
// skew cannot be read or the log cannot be written.
#pragma once

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quarry::testing {

constexpr char DECODER_LOG_VARIABLE[] = "QUARRY_TEST_DECODER_LOG";
constexpr char DECODER_SKEW_VARIABLE[] = "QUARRY_TEST_DECODER_SKEW";
constexpr char DECODER_CUT_VARIABLE[] = "QUARRY_TEST_DECODER_CUT";
// POSIX: a shell command the decoder runs once, at its first call, as another program would
// act during the run; and a signal it then raises in its own process, as an interrupt would.
constexpr char DECODER_RUN_VARIABLE[] = "QUARRY_TEST_DECODER_RUN";
constexpr char DECODER_RAISE_VARIABLE[] = "QUARRY_TEST_DECODER_RAISE";
// Set by the decoder for its command: the process it runs in.
constexpr char DECODER_PID_VARIABLE[] = "QUARRY_TEST_DECODER_PID";
constexpr char DECODER_CRASH_VARIABLE[] = "QUARRY_TEST_DECODER_CRASH";

// How a call asked to by QUARRY_TEST_DECODER_CRASH ends.
enum class DecoderCrash { none, segv, abort, ill, fpe, stack, import };

struct CrashRequest {
  DecoderCrash how = DecoderCrash::none;
  std::int64_t expectedSize = -1;  // the call it applies to
};

// The value of QUARRY_TEST_DECODER_CRASH (null or malformed: no crash). Written without the
// standard library's strings, so the bare Windows variants can use it.
inline CrashRequest parseDecoderCrash(const char* text) {
  constexpr struct {
    const char* name;
    DecoderCrash how;
  } KINDS[] = {{"segv", DecoderCrash::segv},   {"abort", DecoderCrash::abort},
               {"ill", DecoderCrash::ill},     {"fpe", DecoderCrash::fpe},
               {"stack", DecoderCrash::stack}, {"import", DecoderCrash::import}};
  if (text == nullptr) return {};
  for (const auto& kind : KINDS) {
    std::size_t k = 0;
    while (kind.name[k] != '\0' && text[k] == kind.name[k]) ++k;
    if (kind.name[k] != '\0' || text[k] != ':' || text[k + 1] == '\0') continue;
    std::int64_t size = 0;
    for (const char* digit = text + k + 1; *digit != '\0'; ++digit) {
      if (*digit < '0' || *digit > '9' || size > (INT64_MAX - 9) / 10) return {};
      size = size * 10 + (*digit - '0');
    }
    return {kind.how, size};
  }
  return {};
}

struct DecoderCall {
  bool refused = false;
  std::int64_t compressedSize = 0;
  bool outputSet = false;
  std::int64_t expectedSize = 0;
  std::int64_t produced = 0;
  std::int64_t result = 0;

  bool operator==(const DecoderCall&) const = default;
};

// One log line, without its line end.
inline std::string formatDecoderCall(const DecoderCall& call) {
  return std::string("call=") + (call.refused ? "refused" : "decoded") +
         " compressed=" + std::to_string(call.compressedSize) +
         " output=" + (call.outputSet ? "set" : "null") +
         " expected=" + std::to_string(call.expectedSize) +
         " produced=" + std::to_string(call.produced) + " result=" + std::to_string(call.result);
}

// A whole signed decimal number, with an optional leading '+'; nothing else.
inline std::optional<std::int64_t> parseWholeNumber(std::string_view text) {
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The value of QUARRY_TEST_DECODER_SKEW (null when unset); nullopt when it is not a number.
inline std::optional<std::int64_t> parseDecoderSkew(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  return parseWholeNumber(text);
}

namespace decoder_log_detail {

// Takes "key=value" off the front of line and returns the value, which ends at the next space.
// Keys after the first carry their leading space, so a stray space anywhere is left over.
inline std::optional<std::string_view> takeField(std::string_view& line, std::string_view key) {
  if (line.substr(0, key.size()) != key || line.substr(key.size(), 1) != "=") return std::nullopt;
  line.remove_prefix(key.size() + 1);
  const std::string_view value = line.substr(0, line.find(' '));
  line.remove_prefix(value.size());
  return value;
}

inline std::optional<bool> takeChoice(std::string_view& line, std::string_view key,
                                      std::string_view whenTrue, std::string_view whenFalse) {
  const auto value = takeField(line, key);
  if (value == whenTrue) return true;
  if (value == whenFalse) return false;
  return std::nullopt;
}

inline std::optional<std::int64_t> takeNumber(std::string_view& line, std::string_view key) {
  const auto value = takeField(line, key);
  return value ? parseWholeNumber(*value) : std::nullopt;
}

}  // namespace decoder_log_detail

// Reads back a line written by formatDecoderCall; nullopt for anything else.
inline std::optional<DecoderCall> parseDecoderCall(std::string_view line) {
  using namespace decoder_log_detail;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const auto refused = takeChoice(line, "call", "refused", "decoded");
  const auto compressed = takeNumber(line, " compressed");
  const auto outputSet = takeChoice(line, " output", "set", "null");
  const auto expected = takeNumber(line, " expected");
  const auto produced = takeNumber(line, " produced");
  const auto result = takeNumber(line, " result");
  if (!refused || !compressed || !outputSet || !expected || !produced || !result || !line.empty()) {
    return std::nullopt;
  }
  return DecoderCall{*refused, *compressed, *outputSet, *expected, *produced, *result};
}

// Every call recorded in the log, in the order made. A missing file means no call was made.
// Throws on a line it cannot read, so a garbled log fails the test instead of hiding calls.
inline std::vector<DecoderCall> readDecoderLog(const std::filesystem::path& path) {
  std::vector<DecoderCall> calls;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (std::filesystem::exists(path)) {
      throw std::runtime_error("cannot read decoder log " + path.string());
    }
    return calls;
  }
  std::string line;
  while (std::getline(file, line)) {
    const std::optional<DecoderCall> call = parseDecoderCall(line);
    if (!call) throw std::runtime_error("unreadable decoder log line: " + line);
    calls.push_back(*call);
  }
  return calls;
}

}  // namespace quarry::testing
