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

constexpr NamedInterrupt INTERRUPT_NAMES[] = {
    {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

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

const char* interruptName(int interrupt) {
  for (const NamedInterrupt& named : INTERRUPT_NAMES) {
    if (named.signal == interrupt) return named.name;
  }
  return "a signal";
}

}  // namespace quarry
