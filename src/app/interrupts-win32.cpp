#include <windows.h>

#include "app/interrupts.h"
#include "base/stop.h"

namespace quarry {
namespace {

// Windows' own status for a program ended by Ctrl+C.
constexpr DWORD STATUS_CONTROL_C_EXIT_CODE = 0xC000013A;
// How long a console close may wait for the run to finish its stop: Windows ends the process
// some seconds after the handler is called anyway.
constexpr DWORD CLOSE_GRACE_MILLISECONDS = 4000;

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (stopCause() == StopCause::Interrupted && event <= CTRL_BREAK_EVENT) return FALSE;
  requestStop(StopCause::Interrupted, static_cast<int>(event));
  // Closing the console or logging off ends the process when this returns: the run gets the
  // time to remove its file and say why (it exits the process itself before then).
  if (event > CTRL_BREAK_EVENT) Sleep(CLOSE_GRACE_MILLISECONDS);
  return TRUE;
}

}  // namespace

void stopOnInterrupts() {
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int interruptedStatus(int) {
  return static_cast<int>(STATUS_CONTROL_C_EXIT_CODE);
}

}  // namespace quarry
