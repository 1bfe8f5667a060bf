// A request to stop the run in progress: set from a signal handler, polled
// wherever a run may loop or wait for long.
#pragma once

namespace kestrum {

// Records that Signal (not 0) asks the run to stop. Safe in a signal handler.
void RequestStop(int Signal) noexcept;

// The signal that asked to stop, or 0.
int StopSignal() noexcept;

// Forgets the request, so that a later run is not stopped by it.
void ClearStop() noexcept;

// Throws EStopped when a stop has been requested.
void CheckStop();

// Waits until Fd is ready for Events (POLLIN or POLLOUT), polling the stop
// request every tenth of a second, so that a pipe's reader or writer that
// stalls cannot hold a stopped run: throws EStopped then.
void WaitReady(int Fd, short Events);

}  // namespace kestrum
