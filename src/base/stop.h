// Stopping the run: one record, raised from wherever the reason is found (a signal handler,
// the container's fault handler, the output side, the decoder's guard) and looked at by the
// run once per entry and by the copy loops between chunks. What a stop then does is the run's.
#pragma once

#include <cstdint>

namespace quarry {

enum class StopCause : std::uint8_t {
  None,
  Interrupted,           // a signal that would end the process; Ctrl+C, Ctrl+Break, console closed
  ContainerCutShort,     // another program cut the container short while it was mapped
  OutputFolderUnusable,  // the output folder cannot be made, opened or was removed
  DecoderFault,          // the decoder library crashed or asked to end the process
  NoDecoder,             // an entry needs the decoder library, and it cannot be bound
};

// Raises the stop; the first cause raised is the one kept. Safe in a signal handler.
void requestStop(StopCause cause, int signal = 0) noexcept;

bool stopRequested() noexcept;
StopCause stopCause() noexcept;
// The signal (POSIX) or console event (Windows) behind an interrupt.
int stopSignal() noexcept;

// A run starts with no stop raised.
void clearStop() noexcept;

}  // namespace quarry
