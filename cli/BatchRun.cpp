// The batch run: a queue of files shared by worker threads.
#include "cli/BatchRun.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <mutex>

#include "kestrum/base/Stop.h"
#include "cli/Console.h"
#include "cli/Run.h"

namespace kestrum {

namespace {

namespace fs = std::filesystem;

struct TJob {
  std::string Source, Target;
  // The filter, or the design at the source's rate; none for a stream's
  // design, made once its header is read.
  std::shared_ptr<const TFilter> Filter;
  TSourceFormat Format;  // from the header, or zero when it could not be read
  int32_t Frames = 0;    // expected, for the progress bar
  std::string Refusal;   // why it cannot run, found before it does
  bool Written = false, Failed = false;
};

// The targets of Sources in Dir; throws EUsageError when two of them
// coincide or one would replace its own source.
std::vector<TJob> PlanJobs(const std::vector<std::string>& Sources, const std::string& Dir) {
  std::vector<TJob> Jobs;
  std::map<std::string, std::string> SourceOf;  // target -> source
  for (const std::string& Source : Sources) {
    if (Source == "-") throw EUsageError("SOURCE '-' cannot be used with --output-dir");
    const std::string Target = (fs::path(Dir) / fs::path(Source).filename()).string();
    const auto [Other, New] = SourceOf.emplace(Target, Source);
    if (!New)
      throw EUsageError("'" + Other->second + "' and '" + Source + "' would both be written to '" +
                        Target + "'");
    std::error_code Ec;
    if (fs::equivalent(Source, Target, Ec))
      throw EUsageError("'" + Target + "' is the source itself; choose another --output-dir");
    Jobs.push_back({Source, Target, {}, {}, 0, {}});
  }
  return Jobs;
}

// A design made once for each rate, shared by the batch's runs: each is
// announced, with its shortfalls, when it is first made.
class TDesigns {
public:
  TDesigns(const TOptions& Options, TConsole& Console) : FOptions(Options), FConsole(Console) {}

  // Throws EUsageError as DesignAt.
  std::shared_ptr<const TFilter> At(uint32_t Rate) {
    const std::lock_guard Lock(FMutex);
    auto& Designed = FMade[Rate];
    if (!Designed) {
      std::vector<std::string> Warnings;
      Designed = std::make_shared<const TFilter>(DesignAt(FOptions, Rate, Warnings));
      FConsole.Print(DesignLogLine(*Designed) + ": " + Designed->Comment);
      for (const std::string& Warning : Warnings) FConsole.Warning(Warning);
    }
    return Designed;
  }

private:
  const TOptions& FOptions;
  TConsole& FConsole;
  std::mutex FMutex;
  std::map<uint32_t, std::shared_ptr<const TFilter>> FMade;
};

// Runs jobs taken from a shared queue, one TKestrum at a time, and reports
// their progress into the batch's totals.
class TWorker : public TObject {
public:
  TWorker(const TOptions& Options, TConsole& Console, std::vector<TJob>& Jobs, TDesigns& Designs,
          std::atomic<size_t>& Next, std::atomic<int64_t>& Done, int64_t Total, int Threads)
      : FOptions(Options), FConsole(Console), FJobs(Jobs), FDesigns(Designs), FNext(Next), FDone(Done),
        FTotal(Total), FThreads(Threads) {}

  void Run() {
    for (size_t I; !StopSignal() && (I = FNext++) < FJobs.size();) RunJob(FJobs[I]);
  }

  void Progress(TObject*, int32_t Position, int32_t) {
    if (Position == 0) return;  // the end of a run
    FConsole.Progress(FDone += Position - FReported, FTotal);
    FReported = Position;
  }

  // The filter's warnings are the same for every file: printed once.
  void Warning(TObject*, std::string Message) { FConsole.Warning(Message, true); }

  // A stream's design, once its header gives its rate.
  void SourceRate(TObject* Sender, uint32_t Frequency) {
    static_cast<TKestrum*>(Sender)->Filter = *FDesigns.At(Frequency);
  }

private:
  void RunJob(TJob& Job) {
    FReported = 0;
    try {
      if (!Job.Refusal.empty()) throw EUsageError(Job.Refusal);
      TKestrum Kestrum(nullptr);
      SetUpRun(Kestrum, FOptions, Job.Source, Job.Target, Job.Filter.get(), Job.Format.Frequency,
               FThreads);
      if (!Job.Filter) Kestrum.OnSourceRate = TSourceRate(this, &TWorker::SourceRate);
      Kestrum.OnProgress = TProgress(this, &TWorker::Progress);
      Kestrum.OnWarning = TLog(this, &TWorker::Warning);
      Kestrum.Execute();
      Job.Written = true;
      const std::string PastEnd = StartPastEndWarning(FOptions, Job.Format.Frequency, Job.Format.NSamples);
      if (!PastEnd.empty()) FConsole.Warning(Job.Source + ": " + PastEnd);
      const std::string Overflow = OverflowWarning(Kestrum.Overflow, Kestrum.Clip);
      if (!Overflow.empty()) FConsole.Warning(Job.Source + ": " + Overflow);
    } catch (const std::exception& E) {
      Job.Failed = true;
      // Named by its source, unless the message names it already.
      const std::string Message = E.what();
      if (!StopSignal())
        FConsole.Error(Message.find(Job.Source) != std::string::npos ? Message
                                                                     : Job.Source + ": " + Message);
    }
    FDone += Job.Frames - FReported;
  }

  const TOptions& FOptions;
  TConsole& FConsole;
  std::vector<TJob>& FJobs;
  TDesigns& FDesigns;
  std::atomic<size_t>& FNext;
  std::atomic<int64_t>& FDone;
  const int64_t FTotal;
  const int FThreads;
  int32_t FReported = 0;  // frames of the current job counted in FDone
};

}  // namespace

int RunBatch(const TOptions& Options) {
  TConsole Console(Options.Quiet);
  const std::string& Dir = *Options.OutputDir;
  std::vector<TJob> Jobs;
  std::shared_ptr<const TFilter> Filter;
  try {
    Jobs = PlanJobs({Options.Files.begin(), Options.Files.end() - 1}, Dir);
    // FILTER is read once, for every run (a pipe or FIFO too).
    if (!Options.Design) Filter = std::make_shared<const TFilter>(ReadFilterOf(Options));
  } catch (const EUsageError& E) {
    PrintUsageError(E.what());
    return kUsageError;
  } catch (const std::exception& E) {
    Console.Error(StopSignal() ? "interrupted; 0 of " + std::to_string(Jobs.size()) + " files were written to '" +
                                     Dir + "'"
                               : E.what());
    return 1;
  }
  std::error_code Ec;
  fs::create_directories(Dir, Ec);
  if (Ec) {
    Console.Error("cannot create the folder '" + Dir + "': " + Ec.message());
    return 1;
  }

  // Headers first, of the sources that can be read twice: the rates that
  // times need, and the total for the bar. A header that cannot be read, or
  // a time without a rate, fails its job without a run.
  // A designed filter is made once for each rate (a stream's, once its run
  // reads its header); a filter that names its rate is checked against each.
  int64_t Total = 0;
  const std::string Refusal = RateRefusal(Options);
  TDesigns Designs(Options, Console);
  for (TJob& Job : Jobs) {
    Job.Filter = Filter;
    Job.Refusal = TargetRefusal(Options, Job.Source, Job.Target);
    if (!Job.Refusal.empty()) continue;
    try {
      if (!CanReadTwice(Job.Source) && Refusal.empty()) continue;
      Job.Format = ReadSourceFormat(Job.Source, Refusal);
      Job.Frames = FramesToFilter(Options, Job.Format);
      if (Filter) Console.Warning(RateWarning(*Filter, Job.Format.Frequency), true);
      if (Options.Design) Job.Filter = Designs.At(Job.Format.Frequency);
    } catch (const std::exception& E) {
      Job.Refusal = E.what();
    }
    Total += Job.Frames;
  }

  // Files side by side, each on one thread, unless there are fewer files than
  // threads: then each run's kernel shares out the rest.
  const int Budget =
      Options.Threads > 0 ? Options.Threads : std::max(1, int(std::thread::hardware_concurrency()));
  const int Workers = std::min<int>(Budget, Jobs.size());
  std::atomic<size_t> Next{0};
  std::atomic<int64_t> Done{0};
  {
    std::deque<TWorker> Crew;
    for (int W = 0; W < Workers; ++W)
      Crew.emplace_back(Options, Console, Jobs, Designs, Next, Done, Total, Budget / Workers);
    std::vector<std::jthread> Threads;
    for (TWorker& Worker : Crew) Threads.emplace_back([&Worker] { Worker.Run(); });
  }

  size_t Written = 0, Failed = 0;
  int64_t Frames = 0;
  double AudioSeconds = 0;
  for (const TJob& Job : Jobs) {
    Failed += Job.Failed;
    if (!Job.Written) continue;
    ++Written;
    Frames += Job.Frames;
    if (Job.Format.Frequency > 0) AudioSeconds += double(Job.Frames) / Job.Format.Frequency;
  }
  const std::string Count = std::to_string(Jobs.size());
  if (StopSignal()) {
    Console.Error("interrupted; " + std::to_string(Written) + " of " + Count +
                  " files were written to '" + Dir + "'");
    return 1;
  }
  Console.Print(std::to_string(Written) + " of " + Count + " files written to '" + Dir +
                "': " + FormatSummary(Frames, Console.Elapsed(), AudioSeconds));
  if (Failed == 0) return 0;
  Console.Error(std::to_string(Failed) + " of " + Count + " files failed");
  return 1;
}

}  // namespace kestrum
