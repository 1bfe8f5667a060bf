// The single run and the handlers of its events.
#include "cli/SingleRun.h"

#include <optional>

#include "cli/Console.h"
#include "cli/Run.h"
#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {

class THost : public TObject {
public:
  THost(TConsole& Console, const TOptions& Options, TKestrum& Kestrum, bool Streamed)
      : FConsole(Console), FOptions(Options), FKestrum(Kestrum), FStreamed(Streamed) {}

  void Log(TObject*, std::string Line) {
    // A designed filter is named by its design and rate, not as a file.
    if (FOptions.Design && FKestrum.Filter && Line == "Filter file name: " + FKestrum.Filter->Name)
      Line = DesignLogLine(*FKestrum.Filter);
    FConsole.Print(Line);
  }
  void Warning(TObject*, std::string Message) { FConsole.Warning(Message); }
  void Progress(TObject*, int32_t Position, int32_t Max) {
    // The (0, 0) that ends every run draws nothing.
    FConsole.Progress(Position == 0 ? 0 : FKestrum.FramesDone(), Max, FFrequency);
  }
  // The range in times, and the design, now that the source's rate is known.
  void SourceRate(TObject*, uint32_t Frequency) {
    if (NeedsRate(FOptions)) {
      const auto [Start, End] = FrameRange(FOptions, Frequency);
      FKestrum.SetStartPos(Start);
      FKestrum.SetEndPos(End);
    }
    if (FOptions.Design) Design(Frequency);
  }
  // The design made at Frequency, for the run; its shortfalls said first.
  void Design(uint32_t Frequency) {
    std::vector<std::string> Warnings;
    FKestrum.Filter = DesignAt(FOptions, Frequency, Warnings);
    for (const std::string& Warning : Warnings) FConsole.Warning(Warning);
  }
  void SourceProperty(TObject* Sender, std::string Name, ff_bits Bits, ff_channels,
                      uint32_t Frequency, int32_t NSamples) {
    FFrequency = Frequency;
    const int Channels = static_cast<TKestrum*>(Sender)->SourceFormat().Channels;
    FConsole.Print(DescribeSource(Name, Bits, Channels, Frequency, NSamples, FStreamed));
    FConsole.Warning(StartPastEndWarning(FOptions, Frequency, NSamples));
    if (FKestrum.Filter) FConsole.Warning(RateWarning(*FKestrum.Filter, Frequency));
  }
  uint32_t Frequency() const { return FFrequency; }

private:
  TConsole& FConsole;
  const TOptions& FOptions;
  TKestrum& FKestrum;
  const bool FStreamed;
  uint32_t FFrequency = 0;
};

}  // namespace

int RunSingle(const TOptions& Options) {
  const std::string &Source = Options.Files[0], &Target = Options.Files[1];
  TConsole Console(Options.Quiet);
  TKestrum Kestrum(nullptr);
  const bool Streamed = !CanReadTwice(Source);
  THost Host(Console, Options, Kestrum, Streamed);
  Kestrum.OnLog = TLog(&Host, &THost::Log);
  Kestrum.OnProgress = TProgress(&Host, &THost::Progress);
  Kestrum.OnSourceProperty = TSourceProperty(&Host, &THost::SourceProperty);
  Kestrum.OnWarning = TLog(&Host, &THost::Warning);
  try {
    CheckTarget(Options, Target);
    // The source is opened once, by the run: a range in times and a design
    // are settled from its header, before the target is touched, so that
    // a wrong one leaves it as it was.
    if (Options.Design || NeedsRate(Options)) Kestrum.OnSourceRate = TSourceRate(&Host, &THost::SourceRate);
    // FILTER is read once, here, and the run takes it as it is.
    SetUpRun(Kestrum, Options, Source, Target, nullptr, 0, Options.Threads);
    if (!Options.Design) {
      try {
        Kestrum.Filter = ReadFilterOf(Options);
      } catch (...) {  // a stop, in the run's words: nothing was written yet
        if (StopSignal()) throw EStopped("interrupted; '" + Target + "' was left as it was");
        throw;
      }
    }
    Kestrum.Execute();
    if (Console.HasBar()) {
      const double Audio = Host.Frequency() ? double(Kestrum.FramesDone()) / Host.Frequency() : 0;
      Console.Print(FormatSummary(Kestrum.FramesDone(), Console.Elapsed(), Audio));
    }
    Console.Warning(OverflowWarning(Kestrum.Overflow, Kestrum.Clip));
    return 0;
  } catch (const EUsageError& E) {
    PrintUsageError(E.what());
    return kUsageError;
  } catch (const std::exception& E) {
    Console.Error(E.what());
  } catch (...) {
    Console.Error("unexpected error");
  }
  return 1;
}

}  // namespace kestrum
