#include <csignal>

#include "app/messages.h"

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

}  // namespace

const char* pathUnits() {
  return "bytes";
}

std::string faultName(int code) {
  for (const NamedSignal& named : SIGNAL_NAMES) {
    if (named.signal == code) return named.name;
  }
  return "signal " + std::to_string(code);
}

}  // namespace quarry
