// The stop request: one lock-free atomic, so a signal handler may set it.
#include "kestrum/base/Stop.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "kestrum/base/Errors.h"

namespace kestrum {

namespace {
std::atomic<int> GStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace

void RequestStop(int Signal) noexcept { GStopSignal.store(Signal, std::memory_order_relaxed); }

int StopSignal() noexcept { return GStopSignal.load(std::memory_order_relaxed); }

void ClearStop() noexcept { GStopSignal.store(0, std::memory_order_relaxed); }

void CheckStop() {
  if (StopSignal() != 0) throw EStopped("interrupted");
}

void WaitReady(int Fd, short Events) {
  pollfd Poll{Fd, Events, 0};
  for (;;) {
    CheckStop();
    // Ready, or an error the read or write itself will report.
    if (poll(&Poll, 1, 100) != 0 && !(Poll.revents == 0 && errno == EINTR)) return;
  }
}

ssize_t WriteWhenReady(int Fd, const void* Bytes, size_t Count, bool& NoWait) {
  CheckStop();
  if (NoWait) {
    // The descriptor's own mode is left alone (standard output's file
    // description is shared with the shell): the flag holds for this write.
    const iovec Piece{const_cast<void*>(Bytes), Count};
    const ssize_t N = pwritev2(Fd, &Piece, 1, -1, RWF_NOWAIT);
    if (N >= 0 || (errno != EAGAIN && errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS)) return N;
    if (errno != EAGAIN) NoWait = false;  // a terminal, say, or an older system
  }
  WaitReady(Fd, POLLOUT);
  return write(Fd, Bytes, Count);
}

}  // namespace kestrum
