#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "base/guarded_call.h"

namespace quarry {
namespace {

// The exceptions that end a process when nothing handles them, which a decoding library has
// no use for raising on purpose.
constexpr DWORD FATAL_EXCEPTIONS[] = {
    EXCEPTION_ACCESS_VIOLATION,      EXCEPTION_IN_PAGE_ERROR,
    EXCEPTION_ILLEGAL_INSTRUCTION,   EXCEPTION_PRIV_INSTRUCTION,
    EXCEPTION_INT_DIVIDE_BY_ZERO,    EXCEPTION_INT_OVERFLOW,
    EXCEPTION_STACK_OVERFLOW,        EXCEPTION_DATATYPE_MISALIGNMENT,
    EXCEPTION_ARRAY_BOUNDS_EXCEEDED, EXCEPTION_FLT_DIVIDE_BY_ZERO,
    EXCEPTION_FLT_INVALID_OPERATION, EXCEPTION_NONCONTINUABLE_EXCEPTION,
};

// The guarded call in progress on this thread. __builtin_setjmp's buffer: five words, and
// a jump that unwinds nothing (the C runtime's longjmp would unwind through the foreign
// frames, which is what must not happen here).
struct ActiveGuard {
  void** comeBack = nullptr;
  GuardedStop* stop = nullptr;
};
thread_local ActiveGuard active;

bool isFatal(DWORD code) {
  for (const DWORD fatal : FATAL_EXCEPTIONS) {
    if (fatal == code) return true;
  }
  return false;
}

[[noreturn]] void comeBack() {
  __builtin_longjmp(active.comeBack, 1);
}

LONG CALLBACK onException(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  if (active.comeBack == nullptr || !isFatal(code)) return EXCEPTION_CONTINUE_SEARCH;
  active.stop->signal = static_cast<int>(code);
  active.stop->address =
      reinterpret_cast<std::uintptr_t>(exception->ExceptionRecord->ExceptionAddress);
  comeBack();
}

// abort() in the C runtime raises SIGABRT through the runtime's own table, not as an exception.
void onAbort(int signal) {
  if (active.comeBack == nullptr) std::_Exit(3);
  active.stop->signal = signal;
  comeBack();
}

}  // namespace

bool runGuarded(void (*body)(void* context), void* context, GuardedStop& stop) {
  stop = GuardedStop{};
  void* jump[5] = {};
  ActiveGuard outer = active;
  void* handler = AddVectoredExceptionHandler(1, onException);
  const auto abortBefore = std::signal(SIGABRT, onAbort);
  active = {jump, &stop};
  volatile bool returned = false;
  if (__builtin_setjmp(jump) == 0) {
    body(context);
    returned = true;
  }
  active = outer;
  std::signal(SIGABRT, abortBefore);
  if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
  return returned;
}

void leaveGuardedCall(const char* call) {
  if (active.comeBack == nullptr) ExitProcess(255);
  active.stop->call = call;
  comeBack();
}

}  // namespace quarry
