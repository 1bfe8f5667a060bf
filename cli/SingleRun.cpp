// The single run and the handlers of its events.
#include "cli/SingleRun.h"

#include <optional>

#include "cli/Console.h"
#include "cli/Run.h"

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
  // A stream's range in times, now that its rate is known.
  void SourceRate(TObject*, uint32_t Frequency) {
    const auto [Start, End] = FrameRange(FOptions, Frequency);
    FKestrum.SetStartPos(Start);
    FKestrum.SetEndPos(End);
  }
  void SourceProperty(TObject* Sender, std::string Name, ff_bits Bits, ff_channels,
                      uint32_t Frequency, int32_t NSamples) {
    FFrequency = Frequency;
    const int Channels = static_cast<TKestrum*>(Sender)->SourceFormat().Channels;
    FConsole.Print(DescribeSource(Name, Bits, Channels, Frequency, NSamples, FStreamed));
    FConsole.Warning(StartPastEndWarning(FOptions, Frequency, NSamples));
    if (!FOptions.Design)
      FConsole.Warning(RateWarning(FOptions.Filter(), FilterComment(FOptions.Filter()), Frequency));
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
    // A file's rate is read before the run, so that a wrong range fails
    // before the target is touched; a stream's, by the run, for a time.
    const bool RateFirst = Options.Design || (NeedsRate(Options) && !Streamed);
    const uint32_t Frequency = RateFirst ? ReadSourceFormat(Source, RateRefusal(Options)).Frequency : 0;
    if (NeedsRate(Options) && Streamed) Kestrum.OnSourceRate = TSourceRate(&Host, &THost::SourceRate);
    SetUpRun(Kestrum, Options, Source, Target, Options.Filter(), Frequency, Options.Threads);
    if (Options.Design) {
      std::vector<std::string> Warnings;
      Kestrum.Filter = DesignAt(Options, Frequency, Warnings);
      for (const std::string& Warning : Warnings) Console.Warning(Warning);
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
