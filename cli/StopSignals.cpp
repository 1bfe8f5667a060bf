// Stop signals and the standard streams.
#include "cli/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "kestrum/base/OutputFile.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {
extern "C" void OnStopSignal(int Signal) { RequestStop(Signal); }
}  // namespace

void CatchStopSignals() {
  std::vector<int> Signals{SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,  SIGALRM,
                           SIGVTALRM, SIGPROF, SIGIO, SIGXCPU, SIGPWR, SIGSTKFLT};
  for (int Signal = SIGRTMIN; Signal <= SIGRTMAX; ++Signal) Signals.push_back(Signal);
  for (int Signal : Signals) {
    struct sigaction Old {};
    if (sigaction(Signal, nullptr, &Old) == 0 && Old.sa_handler == SIG_IGN) continue;
    struct sigaction New {};
    New.sa_handler = OnStopSignal;
    sigemptyset(&New.sa_mask);
    sigaction(Signal, &New, nullptr);
  }
}

void PrepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (int Fd = 0; Fd <= 2; ++Fd) {
    if (fcntl(Fd, F_GETFD) != -1 || errno != EBADF) continue;
    NoteClosedStandardStream(Fd);
    if (open("/dev/null", O_RDWR) != Fd) return;
  }
}

void EndIfStopped() {
  if (const int Signal = StopSignal(); Signal != 0) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
  }
}

}  // namespace kestrum
