#include <windows.h>

#include <cstdio>

#include "app/messages.h"

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

}  // namespace

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
