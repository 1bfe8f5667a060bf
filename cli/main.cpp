// The kestrum command: filters WAV files through a .fir filter with TKestrum.
#include "cli/BatchRun.h"
#include "cli/Options.h"
#include "cli/SingleRun.h"
#include "cli/StopSignals.h"

int main(int argc, char** argv) {
  using namespace kestrum;
  ReserveStandardStreams();
  TOptions Options;
  if (const auto Status = ParseCommandLine(argc, argv, Options)) return *Status;
  CatchStopSignals();
  const int Status = Options.OutputDir ? RunBatch(Options) : RunSingle(Options);
  // Stopped by a signal: end as that signal would have ended the process.
  if (Status != 0) EndIfStopped();
  return Status;
}
