#include <signal.h>

#include <vector>

#include "app/interrupts.h"
#include "base/stop.h"

namespace quarry {
namespace {

// Every signal sent from outside whose default action would end Quarry where it stands, so
// that each leaves no unfinished file behind. Left out: the faults (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT, SIGTRAP, SIGSYS), which come from the code that runs and are caught around
// it, and SIGPIPE and SIGXFSZ, which main ignores so that the write that met them fails. SIGIO
// is SIGPOLL on Linux; elsewhere SIGIO is ignored by default, so only SIGPOLL is taken.
std::vector<int> stopSignals() {
  std::vector<int> signals = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1,
                              SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};
#ifdef SIGPOLL
  signals.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
  signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) signals.push_back(signal);
#endif
  return signals;
}

// The first interrupt asks the run to stop in order; one more, of any of them, is the user
// insisting.
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
  for (const int signal : stopSignals()) {
    struct sigaction previous {};
    // Only the default action is taken over. What was set before Quarry started stays so: a
    // shell ignores SIGINT and SIGQUIT for a job in the background, nohup SIGHUP, and a
    // profiler may have its own SIGPROF.
    if (sigaction(signal, nullptr, &previous) != 0) continue;
    if ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL) continue;
    sigaction(signal, &action, nullptr);
  }
}

int interruptedStatus(int signal) {
  return 128 + signal;
}

}  // namespace quarry
