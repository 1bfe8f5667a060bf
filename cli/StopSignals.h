// The process around a run: signals that ask it to stop, and standard
// streams that must not be taken by the run's files.
#pragma once

namespace kestrum {

// Turns every signal whose default action ends the process, and which is not
// a fault of the process itself (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1,
// SIGALRM, the real-time ones...), into a stop request (kestrum/base/Stop.h), which
// the run polls, except those the caller ignores. No SA_RESTART: a wait in a
// system call (a FIFO's open, a pipe's read) ends with EINTR, and the run then
// sees the request.
void CatchStopSignals();

// Opens /dev/null on 0, 1 and 2 where they are closed, so that the run's files
// never take those numbers and receive what the tool prints, and notes them
// closed (kestrum/base/OutputFile.h), so that data for them is an error. Ignores SIGPIPE
// and SIGXFSZ, so that a reader going away early, or a file-size limit, turns
// writes into errors (EPIPE, EFBIG) instead of killing the tool with its
// temporary file left behind.
void PrepareProcess();

// When a signal stopped the tool, ends the process as that signal would have;
// otherwise returns.
void EndIfStopped();

}  // namespace kestrum
