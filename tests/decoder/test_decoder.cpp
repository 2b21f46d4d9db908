// The test decoder library: the closed decoder's file name and entry point, decoding the tests'
// own codec instead. It checks every call against the contract the program must keep and
// records it; support/decoder_log.h describes the controls and the log.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "support/decoder_log.h"
#include "support/test_codec.h"

#ifdef _WIN32
#include <windows.h>
#define QUARRY_DECODER_EXPORT extern "C" __declspec(dllexport)
#else
#include <signal.h>
#include <unistd.h>
#define QUARRY_DECODER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using quarry::testing::DecoderCall;

// Read straight from the process on Windows, so a variable set after start-up through the
// Windows API counts even where the C runtime keeps its own copy.
#ifdef _WIN32
std::optional<std::wstring> environmentValue(const char* asciiName) {
  const std::wstring wideName(asciiName, asciiName + std::char_traits<char>::length(asciiName));
  const wchar_t* name = wideName.c_str();
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::wstring value(needed, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
  if (length >= needed) return std::nullopt;
  value.resize(length);
  return value;
}

std::optional<std::string> asciiEnvironmentValue(const char* name) {
  const std::optional<std::wstring> wide = environmentValue(name);
  if (!wide) return std::string();
  std::string narrow;
  for (const wchar_t c : *wide) {
    if (c > 0x7F) return std::nullopt;
    narrow.push_back(static_cast<char>(c));
  }
  return narrow;
}

std::optional<std::int64_t> skewFromEnvironment() {
  const std::optional<std::string> text =
      asciiEnvironmentValue(quarry::testing::DECODER_SKEW_VARIABLE);
  if (!text) return std::nullopt;
  return quarry::testing::parseDecoderSkew(text->c_str());
}

quarry::testing::CrashRequest crashFromEnvironment() {
  const std::optional<std::string> text =
      asciiEnvironmentValue(quarry::testing::DECODER_CRASH_VARIABLE);
  return quarry::testing::parseDecoderCrash(text ? text->c_str() : nullptr);
}

std::FILE* openLogIfAsked(bool& asked) {
  const std::optional<std::wstring> path = environmentValue(quarry::testing::DECODER_LOG_VARIABLE);
  asked = path && !path->empty();
  return asked ? _wfopen(path->c_str(), L"ab") : nullptr;
}

void cutFileIfAsked() {}  // the container is opened without write sharing: it cannot be cut
void actIfAsked() {}
#else
quarry::testing::CrashRequest crashFromEnvironment() {
  return quarry::testing::parseDecoderCrash(std::getenv(quarry::testing::DECODER_CRASH_VARIABLE));
}

std::optional<std::int64_t> skewFromEnvironment() {
  return quarry::testing::parseDecoderSkew(std::getenv(quarry::testing::DECODER_SKEW_VARIABLE));
}

void cutFileIfAsked() {
  const char* asked = std::getenv(quarry::testing::DECODER_CUT_VARIABLE);
  if (asked == nullptr) return;
  char* rest = nullptr;
  const long long size = std::strtoll(asked, &rest, 10);
  if (rest != nullptr && *rest == ':') truncate(rest + 1, static_cast<off_t>(size));
}

// Once per process: what another program, or the user, does while the run goes on.
void actIfAsked() {
  static bool acted = false;
  if (acted) return;
  acted = true;
  if (const char* command = std::getenv(quarry::testing::DECODER_RUN_VARIABLE)) {
    setenv(quarry::testing::DECODER_PID_VARIABLE, std::to_string(getpid()).c_str(), 1);
    if (std::system(command) != 0) std::fputs("the test decoder's command failed\n", stderr);
  }
  if (const char* signal = std::getenv(quarry::testing::DECODER_RAISE_VARIABLE)) {
    kill(getpid(), std::atoi(signal));
  }
}

std::FILE* openLogIfAsked(bool& asked) {
  const char* path = std::getenv(quarry::testing::DECODER_LOG_VARIABLE);
  asked = path != nullptr && *path != '\0';
  return asked ? std::fopen(path, "ab") : nullptr;
}
#endif

// Each line goes out whole and in one piece even when the program decodes on several threads.
bool appendLine(std::FILE* log, const DecoderCall& call) {
  static std::mutex writing;
  const std::string line = quarry::testing::formatDecoderCall(call) + "\n";
  const std::lock_guard<std::mutex> lock(writing);
  const bool written = std::fputs(line.c_str(), log) >= 0;
  return std::fclose(log) == 0 && written;
}

bool sizesAndPointersSound(const std::uint8_t* compressed, std::int64_t compressedSize,
                           const std::uint8_t* output, std::int64_t expectedSize) {
  return compressedSize >= 0 && expectedSize >= 0 && (compressed || compressedSize == 0) &&
         (output || expectedSize == 0);
}

// Each deepens the stack by a page and uses it after the call, so no call becomes a jump. It
// stops only when a flag that is never set says so.
volatile bool stopRecursing = false;
__attribute__((noinline)) int recurseForever(int depth) {
  volatile char page[4096];
  page[depth % sizeof page] = static_cast<char>(depth);
  if (stopRecursing) return page[0];
  return recurseForever(depth + 1) + page[0];
}

// The processor's own division by zero, which neither the compiler nor the undefined-
// behaviour checker can step in front of.
int divideByZero() {
#if defined(__x86_64__)
  int quotient = 7, remainder = 0, divisor = 0;
  asm volatile("cltd\n\tidivl %2" : "+a"(quotient), "=&d"(remainder) : "r"(divisor));
  return quotient;
#else
  volatile int divisor = 0;
  return 7 / divisor;
#endif
}

// Ends the call the way asked; none of these returns.
void crash(quarry::testing::DecoderCrash how) {
  using quarry::testing::DecoderCrash;
  volatile std::uintptr_t nowhere = 8;
  switch (how) {
    case DecoderCrash::segv:
      *reinterpret_cast<volatile int*>(nowhere) = 1;
      break;
    case DecoderCrash::abort:
      std::abort();
    case DecoderCrash::ill:
      __builtin_trap();
    case DecoderCrash::fpe:
      divideByZero();
      break;
    case DecoderCrash::stack:
      recurseForever(0);
      break;
    default:
      break;
  }
}

std::int64_t addSaturating(std::int64_t value, std::int64_t skew) {
  std::int64_t sum;
  if (!__builtin_add_overflow(value, skew, &sum)) return sum;
  return skew < 0 ? INT64_MIN : INT64_MAX;
}

}  // namespace

QUARRY_DECODER_EXPORT std::int64_t OodleLZ_Decompress(
    const std::uint8_t* compressed, std::int64_t compressedSize, std::uint8_t* output,
    std::int64_t expectedSize, std::int32_t a5, std::int32_t a6, std::int32_t a7, std::int64_t a8,
    std::int64_t a9, std::int64_t a10, std::int64_t a11, std::int64_t a12, std::int64_t a13,
    std::int32_t a14) {
  cutFileIfAsked();
  actIfAsked();
  const quarry::testing::CrashRequest asked = crashFromEnvironment();
  if (asked.how != quarry::testing::DecoderCrash::none && asked.expectedSize == expectedSize) {
    crash(asked.how);
  }
  DecoderCall call;
  call.compressedSize = compressedSize;
  call.outputSet = output != nullptr;
  call.expectedSize = expectedSize;

  bool logAsked = false;
  std::FILE* log = openLogIfAsked(logAsked);
  const std::optional<std::int64_t> skew = skewFromEnvironment();
  const bool trailingZero = (a5 | a6 | a7 | a8 | a9 | a10 | a11 | a12 | a13 | a14) == 0;
  call.refused = !trailingZero || !skew || (logAsked && log == nullptr) ||
                 !sizesAndPointersSound(compressed, compressedSize, output, expectedSize);
  if (call.refused) {
    call.result = -1;
  } else {
    call.produced = static_cast<std::int64_t>(
        quarry::testing::decodeTestCodec(compressed, static_cast<std::uint64_t>(compressedSize),
                                         output, static_cast<std::uint64_t>(expectedSize)));
    call.result = addSaturating(call.produced, *skew);
  }
  if (log != nullptr && !appendLine(log, call)) return -1;
  return call.result;
}
