#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>

#include "base/guarded_call.h"

namespace quarry {
namespace {

constexpr int GUARDED_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int GUARDED_COUNT = sizeof GUARDED_SIGNALS / sizeof GUARDED_SIGNALS[0];

// Room for the handler when the fault is the stack running out: it runs on a stack of its own.
constexpr std::size_t HANDLER_STACK_SIZE = 64 * 1024;
thread_local void* handlerStack = nullptr;  // made on the thread's first guarded call

// The guarded call in progress on this thread: where to come back to and what to fill in.
struct ActiveGuard {
  sigjmp_buf* comeBack = nullptr;
  GuardedStop* stop = nullptr;
  struct sigaction* before = nullptr;  // GUARDED_COUNT handlers, in GUARDED_SIGNALS' order
};
thread_local ActiveGuard active;

int slotOf(int signal) {
  for (int slot = 0; slot < GUARDED_COUNT; ++slot) {
    if (GUARDED_SIGNALS[slot] == signal) return slot;
  }
  return 0;
}

std::uintptr_t faultingInstruction([[maybe_unused]] const siginfo_t* info, void* context) {
#if defined(__linux__) && defined(__x86_64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__linux__) && defined(__aarch64__)
  return static_cast<std::uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.pc);
#else
  (void)context;
  return reinterpret_cast<std::uintptr_t>(info->si_addr);
#endif
}

void onSignal(int signal, siginfo_t* info, void* context);

// Whether the handler from before the call took the SIGBUS as its own (a container cut short:
// it puts zero pages over the lost part, and the read goes on). A handler that does not know
// the address gives up by restoring the default action, which is put right again here.
bool earlierHandlerTookBusError(siginfo_t* info, void* context) {
  const struct sigaction& before = active.before[slotOf(SIGBUS)];
  if ((before.sa_flags & SA_SIGINFO) != 0) {
    before.sa_sigaction(SIGBUS, info, context);
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(SIGBUS);
  } else {
    return false;
  }
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  if ((now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == onSignal) return true;
  struct sigaction ours {};
  ours.sa_sigaction = onSignal;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGBUS, &ours, nullptr);
  return false;
}

void onSignal(int signal, siginfo_t* info, void* context) {
  if (active.comeBack == nullptr) {  // another thread's fault: the default action ends it
    ::signal(signal, SIG_DFL);
    return;
  }
  if (signal == SIGBUS && earlierHandlerTookBusError(info, context)) return;
  active.stop->signal = signal;
  active.stop->address = faultingInstruction(info, context);
  siglongjmp(*active.comeBack, 1);
}

void installHandlers(stack_t& stackBefore) {
  if (handlerStack == nullptr) handlerStack = std::malloc(HANDLER_STACK_SIZE);
  stack_t own{};
  own.ss_sp = handlerStack;
  own.ss_size = HANDLER_STACK_SIZE;
  if (handlerStack != nullptr) sigaltstack(&own, &stackBefore);
  struct sigaction ours {};
  ours.sa_sigaction = onSignal;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  for (int slot = 0; slot < GUARDED_COUNT; ++slot) {
    sigaction(GUARDED_SIGNALS[slot], &ours, &active.before[slot]);
  }
}

void restoreHandlers(const stack_t& stackBefore) {
  for (int slot = 0; slot < GUARDED_COUNT; ++slot) {
    sigaction(GUARDED_SIGNALS[slot], &active.before[slot], nullptr);
  }
  if (handlerStack != nullptr) sigaltstack(&stackBefore, nullptr);
}

}  // namespace

bool runGuarded(void (*body)(void* context), void* context, GuardedStop& stop) {
  stop = GuardedStop{};
  sigjmp_buf comeBack;
  sigjmp_buf* const outer = active.comeBack;
  GuardedStop* const outerStop = active.stop;
  struct sigaction* const outerBefore = active.before;
  struct sigaction before[GUARDED_COUNT];
  active.before = before;
  stack_t stackBefore{};
  installHandlers(stackBefore);
  active.comeBack = &comeBack;
  active.stop = &stop;
  volatile bool returned = false;
  if (sigsetjmp(comeBack, 1) == 0) {
    body(context);
    returned = true;
  }
  restoreHandlers(stackBefore);
  active.comeBack = outer;
  active.stop = outerStop;
  active.before = outerBefore;
  return returned;
}

void leaveGuardedCall(const char* call) {
  if (active.comeBack == nullptr) _exit(255);
  active.stop->call = call;
  siglongjmp(*active.comeBack, 1);
}

}  // namespace quarry
