#include <signal.h>

#include "app/interrupts.h"
#include "base/stop.h"

namespace quarry {
namespace {

constexpr int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

// The first interrupt asks the run to stop in order; one more is the user insisting.
void onInterrupt(int signal) {
  if (stopCause() == StopCause::Interrupted) {
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  requestStop(StopCause::Interrupted, signal);
}

}  // namespace

void stopOnInterrupts() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : INTERRUPTS) {
    struct sigaction previous {};
    // A shell that started Quarry in the background ignores SIGINT for it: that stays so.
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

int interruptedStatus(int signal) {
  return 128 + signal;
}

}  // namespace quarry
