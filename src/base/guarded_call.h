// A call into foreign code that must come back to its caller whatever that code does: a fault
// inside it (a bad access, an illegal instruction, a division by zero, an abort, its stack
// overflowing) or a request of its own to end the process returns as data instead of ending
// Quarry, so the run can say which entry did it and stop in order.
#pragma once

#include <cstdint>

namespace quarry {

// Why a guarded call did not come back by itself.
struct GuardedStop {
  int signal = 0;              // POSIX signal number or Windows exception code; 0 for a call
  std::uintptr_t address = 0;  // the faulting instruction, when signal is not 0
  const char* call = nullptr;  // what the code called that stops it; static storage
};

// Runs body(context); false, with stop filled, when it did not return by itself. The guard's
// handlers are in place only during the call, and those before are put back after. A SIGBUS
// that the handler before the call deals with (the container cut short) still goes to it.
// Nothing that needs destroying may be live inside body across a stop: it is left, not
// unwound.
bool runGuarded(void (*body)(void* context), void* context, GuardedStop& stop);

// Leaves the guarded call in progress on this thread, as a stop naming call (kept as given:
// static storage). Outside any guarded call the process ends with status 255.
[[noreturn]] void leaveGuardedCall(const char* call);

}  // namespace quarry
