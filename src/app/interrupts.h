// An interrupt (Ctrl+C, a terminal closed, a termination request; on POSIX any signal sent
// from outside that would end the process) raises the run's stop instead of ending the process
// where it stands, so the file being written is removed first.
#pragma once

namespace quarry {

// From now on an interrupt raises the stop; a second one ends the process at once.
void stopOnInterrupts();

// The exit status of a run stopped by the interrupt `signal` (the stop's signal number).
int interruptedStatus(int signal);

}  // namespace quarry
