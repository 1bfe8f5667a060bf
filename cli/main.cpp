// The kestrum command: filters WAV files through a .fir filter with TKestrum,
// or designs filters and shows their response.
#include <filesystem>
#include <string>

#include "kestrum/base/FloatEnv.h"
#include "cli/BatchRun.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Options.h"
#include "cli/SingleRun.h"
#include "cli/StopSignals.h"
#include "cli/Words.h"

int main(int argc, char** argv) {
  using namespace kestrum;
  // Whatever environment the process was started in (a preloaded library,
  // a parent's settings), option values, designs and filtering compute in
  // the default one, so that a run writes the same bytes everywhere.
  const TDefaultFloatEnv FloatEnv;
  PrepareProcess();
  if (argc > 1 && std::string(argv[1]) == "design") return RunDesignCommand(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "response") return RunResponseCommand(argc - 1, argv + 1);
  // "kestrum respons": a typo of a form, not a source file.
  std::error_code Ec;
  if (argc > 1 && argv[1][0] != '-' && !std::filesystem::exists(argv[1], Ec)) {
    if (const std::string Near = Closest(argv[1], {"design", "response"}); !Near.empty()) {
      PrintUsageError("unknown command '" + std::string(argv[1]) + "'; did you mean '" + Near + "'?");
      return kUsageError;
    }
  }

  TOptions Options;
  if (const auto Status = ParseCommandLine(argc, argv, Options)) return *Status;
  CatchStopSignals();
  const int Status = Options.OutputDir ? RunBatch(Options) : RunSingle(Options);
  // Stopped by a signal: end as that signal would have ended the process.
  if (Status != 0) EndIfStopped();
  return Status;
}
