// A request to stop the run in progress: set from a signal handler, polled
// wherever a run may loop or wait for long.
#pragma once

#include <sys/types.h>

#include <cstddef>

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

// One write of up to Count bytes to Fd, a descriptor that is not a regular
// file (a pipe, a socket, a device), as write(2) reports it. While NoWait is
// true the write is first tried without waiting, so that a pipe with room
// costs one call; only a descriptor that takes nothing now is waited on with
// WaitReady, then written to as usual. NoWait becomes false for good when the
// system cannot write Fd without waiting. Throws EStopped when a stop has been
// requested.
ssize_t WriteWhenReady(int Fd, const void* Bytes, size_t Count, bool& NoWait);

}  // namespace kestrum
