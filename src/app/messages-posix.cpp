#include <csignal>

#include "app/messages.h"
#include "base/os_error.h"

namespace quarry {
namespace {

struct NamedSignal {
  int signal;
  const char* name;
};

// The signals the guard around the decoder library catches, and the one it raises.
constexpr NamedSignal SIGNAL_NAMES[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},   {SIGILL, "SIGILL"},
    {SIGFPE, "SIGFPE"},   {SIGABRT, "SIGABRT"},
};

struct NamedInterrupt {
  int signal;
  const char* name;
};

// The signals that stop a run (interrupts-posix.cpp); the real-time ones are named from
// SIGRTMIN, whose number the C library decides when the program starts.
constexpr NamedInterrupt INTERRUPT_NAMES[] = {
    {SIGINT, "SIGINT"},       {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},   {SIGQUIT, "SIGQUIT"},
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"},     {SIGXCPU, "SIGXCPU"},
#ifdef SIGIO
    {SIGIO, "SIGIO"},
#endif
#ifdef SIGPOLL
    {SIGPOLL, "SIGPOLL"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
};

}  // namespace

std::string osErrorText(int code) {
  return systemErrorText(code);
}

const char* pathUnits() {
  return "bytes";
}

std::string faultName(int code) {
  for (const NamedSignal& named : SIGNAL_NAMES) {
    if (named.signal == code) return named.name;
  }
  return "signal " + std::to_string(code);
}

std::string interruptName(int interrupt) {
  for (const NamedInterrupt& named : INTERRUPT_NAMES) {
    if (named.signal == interrupt) return named.name;
  }
#ifdef SIGRTMIN
  if (interrupt == SIGRTMIN) return "SIGRTMIN";
  if (interrupt > SIGRTMIN && interrupt <= SIGRTMAX) {
    return "SIGRTMIN+" + std::to_string(interrupt - SIGRTMIN);
  }
#endif
  return "a signal";
}

}  // namespace quarry
