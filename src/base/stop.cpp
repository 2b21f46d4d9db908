#include "base/stop.h"

#include <atomic>

namespace quarry {
namespace {

// Lock-free, so a signal handler may raise it.
std::atomic<StopCause> cause{StopCause::None};
std::atomic<int> signalNumber{0};
static_assert(std::atomic<StopCause>::is_always_lock_free);

}  // namespace

void requestStop(StopCause why, int signal) noexcept {
  StopCause none = StopCause::None;
  if (cause.compare_exchange_strong(none, why)) signalNumber.store(signal);
}

bool stopRequested() noexcept {
  return cause.load(std::memory_order_relaxed) != StopCause::None;
}

StopCause stopCause() noexcept {
  return cause.load();
}

int stopSignal() noexcept {
  return signalNumber.load();
}

void clearStop() noexcept {
  signalNumber.store(0);
  cause.store(StopCause::None);
}

}  // namespace quarry
