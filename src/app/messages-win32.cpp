#include <windows.h>

#include <cstdio>

#include "app/messages.h"
#include "base/os_error.h"

namespace quarry {
namespace {

struct NamedException {
  unsigned code;
  const char* name;
};

// The exceptions a library is likely to stop on; 22 is the C runtime's SIGABRT, raised by abort.
constexpr NamedException EXCEPTION_NAMES[] = {
    {22, "abort"},
    {0xC0000005, "access violation"},
    {0xC0000006, "in-page error"},
    {0xC000001D, "illegal instruction"},
    {0xC0000094, "integer division by zero"},
    {0xC00000FD, "stack overflow"},
};

struct NamedEvent {
  DWORD event;
  const char* name;
};

constexpr NamedEvent INTERRUPT_NAMES[] = {{CTRL_C_EVENT, "Ctrl+C"},
                                          {CTRL_BREAK_EVENT, "Ctrl+Break"},
                                          {CTRL_CLOSE_EVENT, "the console closing"}};

// FormatMessage's words are fetched without their inserts: each place one would go ("%1 is not
// a valid Win32 application") says "it", never the bare placeholder.
std::string withInsertsSaidAsIt(const std::string& words) {
  const auto isDigit = [&](std::size_t at) {
    return at < words.size() && words[at] >= '0' && words[at] <= '9';
  };
  std::string said;
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (words[k] == '%' && isDigit(k + 1) && words[k + 1] != '0') {
      said += "it";
      while (isDigit(k + 1)) ++k;
      continue;
    }
    said += words[k];
  }
  return said;
}

}  // namespace

std::string osErrorText(int code) {
  const std::string words = withInsertsSaidAsIt(systemErrorText(code));
  return words.empty() ? "error " + std::to_string(code) : words;
}

const char* pathUnits() {
  return "characters";
}

std::string faultName(int code) {
  const auto exception = static_cast<unsigned>(code);
  for (const NamedException& named : EXCEPTION_NAMES) {
    if (named.code == exception) return named.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", exception);
  return std::string("exception ") + text;
}

std::string interruptName(int interrupt) {
  for (const NamedEvent& named : INTERRUPT_NAMES) {
    if (named.event == static_cast<DWORD>(interrupt)) return named.name;
  }
  return "the session ending";
}

}  // namespace quarry
