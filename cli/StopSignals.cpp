// Stop signals and the standard streams.
#include "cli/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace kestrum {

std::atomic<int> GStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

namespace {
extern "C" void OnStopSignal(int Signal) { GStopSignal = Signal; }
}  // namespace

void CatchStopSignals() {
  for (int Signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction Old {};
    if (sigaction(Signal, nullptr, &Old) == 0 && Old.sa_handler == SIG_IGN) continue;
    struct sigaction New {};
    New.sa_handler = OnStopSignal;
    sigemptyset(&New.sa_mask);
    sigaction(Signal, &New, nullptr);
  }
}

void PrepareStandardStreams() {
  std::signal(SIGPIPE, SIG_IGN);
  for (int Fd = 0; Fd <= 2; ++Fd)
    if (fcntl(Fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != Fd) return;
}

void EndIfStopped() {
  if (const int Signal = GStopSignal; Signal != 0) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
  }
}

}  // namespace kestrum
