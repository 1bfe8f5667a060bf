// The process around a run: signals that ask it to stop, and standard
// streams that must not be taken by the run's files.
#pragma once

#include <atomic>

namespace kestrum {

// The signal that asked the tool to stop, or 0. Runs poll it at each progress
// step and throw, which lets them drop their unfinished targets.
extern std::atomic<int> GStopSignal;

// Catches SIGINT, SIGTERM and SIGHUP into GStopSignal, except those the
// caller ignores.
void CatchStopSignals();

// Opens /dev/null on 0, 1 and 2 where they are closed, so that the run's files
// never take those numbers and receive what the tool prints; ignores SIGPIPE,
// so that a reader going away early turns writes into EPIPE errors instead of
// killing the tool.
void PrepareStandardStreams();

// When a signal stopped the tool, ends the process as that signal would have;
// otherwise returns.
void EndIfStopped();

}  // namespace kestrum
