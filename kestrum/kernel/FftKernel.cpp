// The FFT engine: runs and streams of long filters through the partitioned
// convolver.
#include "kestrum/kernel/FftKernel.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "kestrum/base/Errors.h"
#include "kestrum/dsp/FftConvolver.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Bytes.h"
#include "kestrum/base/QuietThread.h"
#include "kestrum/kernel/Engine.h"

namespace kestrum {


int32_t FftBlockFrames(size_t Length) {
  const size_t Quarter = std::bit_ceil(std::max<size_t>(Length, 1)) / 4;
  return static_cast<int32_t>(std::clamp<size_t>(Quarter, 256, 65536));
}

TFftPieces FftPieces(const TLongFilter& Filter) {
  const int32_t B = FftBlockFrames(Filter.Length());
  int64_t Parts = 1;
  for (const std::vector<double>& Taps : Filter.Channels)
    Parts = std::max<int64_t>(Parts, (int64_t(Taps.size()) + B - 1) / B);
  return {B, (Parts + 1) * B};
}

namespace {

// The partitions a run of Frames frames reaches in blocks of B.
int32_t PartsReached(int64_t Frames, int32_t B) {
  return Frames == TRunLength::kEndless ? INT32_MAX
                                        : static_cast<int32_t>(std::min<int64_t>(INT32_MAX, (Frames + B - 1) / B));
}

// A live source's growing plan: 128 taps summed directly, then blocks of
// 128 frames growing eightfold every 7 partitions up to the file run's
// (of the plans tried, the least work for 65536 and 262144 taps).
constexpr int32_t kLiveFirstBlock = 128;
constexpr int32_t kLiveGrowth = 8;

// Frames of a call below which the channels are convolved on the caller's
// thread alone: starting a thread costs more than a live piece's work (a
// few hundred frames), and a live run makes a call per piece.
constexpr int32_t kThreadFrames = 4096;

// The spectra of each filter channel, for a run that reaches MaxParts
// partitions, or a live one, and a convolver per source channel sharing them.
// The spectra read the taps where Filter holds them.
std::vector<TFftConvolver> Convolvers(const std::shared_ptr<const TLongFilter>& Filter, int Channels, int32_t B,
                                      int32_t MaxParts, bool Live = false) {
  std::vector<std::shared_ptr<const TFftSpectra>> Spectra;
  for (const std::vector<double>& Taps : Filter->Channels)
    Spectra.push_back(std::make_shared<const TFftSpectra>(
        std::shared_ptr<const std::vector<double>>(Filter, &Taps),
        Live ? GrowingFftPlan(Taps.size(), B, FftBlockFrames(Filter->Length()), kLiveGrowth)
             : UniformFftPlan(Taps.size(), B, MaxParts)));
  std::vector<TFftConvolver> Result;
  Result.reserve(size_t(Channels));
  for (int C = 0; C < Channels; ++C) Result.emplace_back(Spectra[Spectra.size() == 1 ? 0 : size_t(C)]);
  return Result;
}

// A second thread for the channels' second half, started at the first block
// that uses it and kept for the next: starting a thread for every block
// would cost a fair share of a block's work on a small machine.
class TSecondThread {
public:
  ~TSecondThread() {
    if (!FThread.joinable()) return;
    {
      const std::lock_guard<std::mutex> Lock(FMutex);
      FQuit = true;
    }
    FChanged.notify_all();
    FThread.join();
  }

  // Runs Job on the second thread and Mine on the caller's; returns once
  // both are done, throwing what Job threw. Where no thread can start, the
  // caller runs both.
  void Run(const std::function<void()>& Job, const std::function<void()>& Mine) {
    if (!FThread.joinable()) {
      try {
        FThread = QuietThread([this] { Loop(); });
      } catch (const std::system_error&) {
        Job();
        return Mine();
      }
    }
    {
      const std::lock_guard<std::mutex> Lock(FMutex);
      FJob = &Job;
      FFailure = nullptr;
    }
    FChanged.notify_all();
    std::exception_ptr MineFailed;
    try {
      Mine();
    } catch (...) {
      MineFailed = std::current_exception();
    }
    std::unique_lock<std::mutex> Lock(FMutex);
    FChanged.wait(Lock, [this] { return FJob == nullptr; });
    if (MineFailed) std::rethrow_exception(MineFailed);
    if (FFailure) std::rethrow_exception(FFailure);
  }

private:
  void Loop() {
    std::unique_lock<std::mutex> Lock(FMutex);
    for (;;) {
      FChanged.wait(Lock, [this] { return FQuit || FJob != nullptr; });
      if (FQuit) return;
      Lock.unlock();
      std::exception_ptr Failed;
      try {
        (*FJob)();
      } catch (...) {
        Failed = std::current_exception();
      }
      Lock.lock();
      FFailure = Failed;
      FJob = nullptr;
      FChanged.notify_all();
    }
  }

  std::mutex FMutex;
  std::condition_variable FChanged;
  const std::function<void()>* FJob = nullptr;  // the job to run, until it is done
  std::exception_ptr FFailure;
  bool FQuit = false;
  std::thread FThread;
};

// Refuses a run whose spectra would pass the engine's bound.
void CheckSpectraBytes(const TLongFilter& Filter, int Channels, int32_t B, int64_t Frames) {
  const int64_t Bytes = FftSpectraBytes(Filter, Channels, B, Frames);
  if (Bytes <= kMaxFftSpectraBytes) return;
  throw EGeneralError("the FFT engine would hold " + std::to_string(Bytes >> 20) + " MB of spectra for a " +
                      std::to_string(Filter.Length()) + "-tap filter of " + std::to_string(Filter.Channels.size()) +
                      (Filter.Channels.size() == 1 ? " channel" : " channels") + " on " + std::to_string(Channels) +
                      " source channels, more than its bound of " + std::to_string(kMaxFftSpectraBytes >> 20) +
                      " MB: filter fewer channels at a time, or a shorter filter");
}

// Where a block of Count frames first holds a level that is not a finite
// number (Count when none does), and that level. The levels from there on
// are set to silence, so that the frames before it, which do not depend on
// them, are computed as they are (a transform would spread a NaN over the
// whole block).
std::pair<int32_t, double> SilenceFromNonFinite(std::vector<std::vector<double>>& Levels, int32_t Count) {
  int32_t Bad = Count;
  double Level = 0.0;
  for (std::vector<double>& Line : Levels)
    for (int32_t I = 0; I < Bad; ++I)
      if (!std::isfinite(Line[size_t(I)])) Bad = I, Level = Line[size_t(I)];
  if (Bad < Count)
    for (std::vector<double>& Line : Levels) std::fill(Line.begin() + Bad, Line.begin() + Count, 0.0);
  return {Bad, Level};
}

// Stores frames From to Count - 1 of Sums (one line of sums per channel) as
// file bytes at Out, up to the first frame that may not be; returns the
// frames stored, counting them in Tally.
int32_t StoreFrames(const std::vector<std::vector<double>>& Sums, int32_t From, int32_t Count,
                    const TAudioFormat& Format, const TStoreRule& Rule, uint8_t* Out, TOverflowCount& Tally) {
  const double* Lines[MAX_CHANNELS];
  for (size_t C = 0; C < Sums.size(); ++C) Lines[C] = Sums[C].data() + From;
  const int32_t Good = fast::RoundSums(Lines, Count - From, Format, Rule, Out, Tally);
  Tally.Samples += int64_t{Good} * Format.Channels;
  return Good;
}

// Throws the EMathError of frame Bad of Sums, the frame First + Bad of the
// run: the sample that is not a finite number there, if Bad is
// NonFinite.first (NonFiniteSampleError, as the other engines' hosts name
// it), else the first channel's sum that may not be stored.
[[noreturn]] void ThrowAt(const std::vector<std::vector<double>>& Sums, int32_t Bad,
                          std::pair<int32_t, double> NonFinite, const TStoreRule& Rule, int64_t First) {
  if (Bad == NonFinite.first) throw NonFiniteSampleError(First + Bad);
  size_t C = 0;
  while (Storable(Sums[C][size_t(Bad)], Rule)) ++C;
  ThrowUnstorable(Sums[C][size_t(Bad)], Rule, First + Bad);
}

}  // namespace

int64_t FftSpectraBytes(const TLongFilter& Filter, int Channels, int32_t B, int64_t Frames) {
  const int64_t Reached = PartsReached(Frames, B);
  const auto Parts = [&](const std::vector<double>& Taps) {
    return std::min<int64_t>(Reached, std::max<int64_t>(1, (int64_t(Taps.size()) + B - 1) / B));
  };
  int64_t Total = 0;  // the filter's spectra, then each source channel's input spectra
  for (const std::vector<double>& Taps : Filter.Channels) Total += Parts(Taps);
  for (int C = 0; C < Channels; ++C) Total += Parts(Filter.For(C));
  return Total * (int64_t{B} + 1) * int64_t{sizeof(std::complex<double>)};
}

namespace {

// The FFT engine. Frames are gathered into blocks of B; each whole block is
// convolved, channel by channel (half the channels on a second thread when
// it may use two), and its frames queue for output: a call writes at most
// as many frames as it takes, so that the output lags by less than a block.
//
// To stand after the good frames of a failing block (when resumable), the
// engine keeps the file bytes of the last Parts + 1 blocks convolved: it forgets the signal,
// convolves them again (which gives the convolvers the same state, the
// oldest block's spectrum falling out of their window) and keeps the good
// frames as the start of the next block, already written.
class TFftKernel final : public TKernelEngine {
public:
  TFftKernel(std::shared_ptr<const TLongFilter> Filter, int32_t BlockFrames)
      : FShared(std::move(Filter)), FFilter(*FShared), FAskedB(BlockFrames) {}
  ~TFftKernel() override { StopAhead(); }

  // A live run (until its signal ends) takes a growing plan: each frame's
  // output can leave as soon as the frame has come, so nothing is held back.
  void SetLive(bool Live) override { FLive = Live && FAskedB <= 0; }

  void Prepare(const TAudioFormat& Format, const TStoreSettings& Store, int64_t Frames) override {
    CheckChannels(FFilter, Format.Channels, "the filter");
    if (Store.Target && *Store.Target != Format.Samples)
      throw EGeneralError("the FFT engine writes the source's sample format: with another target format, filter "
                          "with the exact sum (--exact)");
    const TDefaultFloatEnv Env;
    FFormat = FTarget = Format;
    FB = FAskedB > 0 ? FAskedB : FLive ? kLiveFirstBlock : FftBlockFrames(FFilter.Length());
    FRule = StoreRule(Format.Samples, Store.Clip);
    CheckSpectraBytes(FFilter, Format.Channels, FB, Frames);
    StopAhead();
    FConvolvers = kestrum::Convolvers(FShared, Format.Channels, FB, PartsReached(Frames, FB), FLive);
    if (FLive) MakeAhead();
    FParts = 1;
    for (const std::vector<double>& Taps : FFilter.Channels)
      FParts = std::max<int64_t>(FParts, std::min<int64_t>(PartsReached(Frames, FB),
                                                           std::max<int64_t>(1, (int64_t(Taps.size()) + FB - 1) / FB)));
    FSums.assign(size_t(Format.Channels), {});
    Reset();
  }

  int32_t Latency() const override { return FLive ? 0 : FB - 1; }
  void SetThreads(int Threads) override {
    FThreads = Threads > 0 ? Threads : static_cast<int>(std::thread::hardware_concurrency());
  }

  TProcessed Process(const uint8_t* In, int32_t Count, uint8_t* Out) override {
    const TDefaultFloatEnv Env;
    TProcessed Result;
    Result.Tally = TOverflowCount::For(FFormat);
    const size_t FrameBytes = size_t(FFormat.FrameBytes());
    // The whole blocks of the frames held and In's, convolved at once; the
    // rest is held.
    const size_t Held = FPending.size() / FrameBytes;
    const size_t Whole = FLive ? Held + size_t(Count) : (Held + size_t(Count)) / size_t(FB) * size_t(FB);
    if (Whole > 0) {
      const size_t FromIn = Whole - Held;
      FWork.assign(FPending.begin(), FPending.end());
      FWork.insert(FWork.end(), In, In + FromIn * FrameBytes);
      FPending.assign(In + FromIn * FrameBytes, In + size_t(Count) * FrameBytes);
      Result.Failure = Convolve(FWork.data(), int32_t(Whole), Result.Tally);
    } else {
      FPending.insert(FPending.end(), In, In + size_t(Count) * FrameBytes);
    }
    Result.Written = TakeQueued(Count, Out);
    return Result;
  }

  TProcessed Flush(uint8_t* Out) override {
    const TDefaultFloatEnv Env;
    TProcessed Result;
    Result.Tally = TOverflowCount::For(FFormat);
    const size_t FrameBytes = size_t(FFormat.FrameBytes());
    const int32_t Held = int32_t(FPending.size() / FrameBytes);
    if (Held > FSkip) {
      FWork.assign(FPending.begin(), FPending.end());
      FWork.resize(BlockBytes(), FFormat.Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00);
      FPending.clear();
      Result.Failure = Convolve(FWork.data(), FB, Result.Tally, Held);
      if (!Result.Failure) FFirst -= FB - Held;  // the silence that completed the block is no frame
    }
    Result.Written = TakeQueued(INT32_MAX, Out);
    // A new signal: its first frame follows the last one taken.
    FFirst += static_cast<int64_t>(FPending.size() / FrameBytes);
    Restart();
    return Result;
  }

  void Reset() override {
    Restart();
    FFirst = 0;
  }

private:
  size_t BlockBytes() const { return size_t(FB) * size_t(FFormat.FrameBytes()); }

  // A live run's segments, made in plan order on a thread of their own
  // while the first frames are filtered, so that no piece waits for a
  // segment's transforms and memory when its first block completes. Where
  // no thread can start, each segment is made when first needed.
  void MakeAhead() {
    FStopAhead = false;
    try {
      FAhead = QuietThread([this] {
        try {
          const TDefaultFloatEnv Env;
          for (size_t I = 0; !FStopAhead; ++I) {
            bool Any = false;
            for (TFftConvolver& Convolver : FConvolvers)
              if (I < Convolver.Segments() && !FStopAhead) Convolver.MakeSegment(I), Any = true;
            if (!Any) break;
          }
        } catch (...) {
          // Memory ran out: the caller's thread meets the failure when its
          // block needs the segment.
        }
      });
    } catch (const std::system_error&) {
    }
  }
  void StopAhead() {
    FStopAhead = true;
    if (FAhead.joinable()) FAhead.join();
  }

  // Forgets the signal, from silence again.
  void Restart() {
    for (TFftConvolver& Convolver : FConvolvers) Convolver.Reset();
    FPending.clear();
    FQueue.clear();
    FQueued = 0;
    FSkip = 0;
    FBlocks = 0;
  }

  // Convolves the Frames frames of Raw (whole blocks), queues their bytes
  // but those of the block's first FSkip frames, already written, and for
  // the last block only its first Keep frames (Flush's block, completed
  // with silence). On a failure, the engine stands after the good frames:
  // returns it.
  std::exception_ptr Convolve(const uint8_t* Raw, int32_t Frames, TOverflowCount& Tally, int32_t Keep = -1) {
    const int32_t Count = Keep < 0 ? Frames : Frames - FB + Keep;
    const size_t Channels = FSums.size();
    for (size_t C = 0; C < Channels; ++C) {
      FSums[C].resize(size_t(Frames));
      fast::LoadLevelsPortable(Raw, Frames, FFormat, int(C), FSums[C].data());
    }
    const std::pair<int32_t, double> NonFinite =
        FFormat.Float() ? SilenceFromNonFinite(FSums, Count) : std::pair<int32_t, double>{Count, 0.0};
    const auto Part = [&](size_t From, size_t To) {
      const TDefaultFloatEnv ThreadEnv;
      for (size_t C = From; C < To; ++C) FConvolvers[C].Process(FSums[C].data(), FSums[C].data(), Frames);
    };
    if (FThreads > 1 && Channels > 1 && Frames >= kThreadFrames) {
      FSecond.Run([&] { Part(Channels / 2, Channels); }, [&] { Part(0, Channels / 2); });
    } else {
      Part(0, Channels);
    }
    // The frames are queued up to the first that may not be stored.
    const size_t FrameBytes = size_t(FFormat.FrameBytes());
    // The first FSkip frames were written before the failure the engine
    // resumed after: they are the same, and stored again by no one.
    const int32_t Skip = std::min(FSkip, NonFinite.first);
    const size_t At = FQueue.size();
    FQueue.resize(At + size_t(Count - Skip) * FrameBytes);
    const int32_t Good =
        Skip + StoreFrames(FSums, Skip, NonFinite.first, FFormat, FRule, FQueue.data() + At, Tally);
    FQueue.resize(At + size_t(Good - Skip) * FrameBytes);
    const int64_t First = FFirst;
    if (FLive) {  // any number of frames, and no replay: a live run ends at its failure
      FFirst += Good;
      if (Good == Count) return nullptr;
      try {
        ThrowAt(FSums, Good, NonFinite, FRule, FNumber + First);
      } catch (...) {
        return std::current_exception();
      }
    }
    const int32_t GoodBlocks = (Good < Count ? Good : Frames) / FB;
    for (int32_t K = 0; K < GoodBlocks; ++K) KeepBlock(Raw + size_t(K) * BlockBytes());
    FFirst += int64_t{GoodBlocks} * FB;
    FSkip = 0;
    if (Good == Count) return nullptr;
    // The failing block's good frames start the next block, already
    // written; the convolvers go back to the blocks before it.
    FPending.assign(Raw + size_t(GoodBlocks) * BlockBytes(), Raw + size_t(Good) * FrameBytes);
    FSkip = Good - GoodBlocks * FB;
    if (FResumable) Replay();
    try {
      ThrowAt(FSums, Good, NonFinite, FRule, FNumber + First);
    } catch (...) {
      return std::current_exception();
    }
  }

  // Keeps Raw's block among the last Parts + 1 convolved, when the engine
  // must resume after a failure.
  void KeepBlock(const uint8_t* Raw) {
    if (FResumable) {
      FPast.resize(size_t(FParts + 1) * BlockBytes());
      std::memcpy(FPast.data() + size_t(FBlocks % (FParts + 1)) * BlockBytes(), Raw, BlockBytes());
    }
    ++FBlocks;
  }

  // Gives the convolvers the state they had after the blocks kept.
  void Replay() {
    for (TFftConvolver& Convolver : FConvolvers) Convolver.Reset();
    std::vector<double> Levels(static_cast<size_t>(FB));
    for (int64_t K = std::max<int64_t>(0, FBlocks - (FParts + 1)); K < FBlocks; ++K) {
      const uint8_t* const Raw = FPast.data() + size_t(K % (FParts + 1)) * BlockBytes();
      for (size_t C = 0; C < FConvolvers.size(); ++C) {
        fast::LoadLevelsPortable(Raw, FB, FFormat, int(C), Levels.data());
        FConvolvers[C].Process(Levels.data(), Levels.data());
      }
    }
  }

  // Writes the queued frames to Out, Most at most; returns how many.
  int32_t TakeQueued(int32_t Most, uint8_t* Out) {
    const size_t FrameBytes = size_t(FFormat.FrameBytes());
    const int32_t Frames = int32_t(std::min<size_t>(size_t(Most), (FQueue.size() - FQueued) / FrameBytes));
    std::memcpy(Out, FQueue.data() + FQueued, size_t(Frames) * FrameBytes);
    FQueued += size_t(Frames) * FrameBytes;
    if (FQueued == FQueue.size()) {
      FQueue.clear();
      FQueued = 0;
    }
    return Frames;
  }

  const std::shared_ptr<const TLongFilter> FShared;  // the taps, which the spectra read too
  const TLongFilter& FFilter;
  const int32_t FAskedB;
  bool FLive = false;
  int32_t FB = 0;
  TStoreRule FRule{};
  int FThreads = 1;
  int64_t FParts = 1;  // the most partitions of a filter channel
  std::vector<TFftConvolver> FConvolvers;  // not moved while FAhead runs
  std::thread FAhead;
  std::atomic<bool> FStopAhead{false};
  TSecondThread FSecond;
  std::vector<std::vector<double>> FSums;  // one line per channel
  std::vector<uint8_t> FWork;              // the blocks being convolved
  std::vector<uint8_t> FPending;           // the frames of the block not yet whole
  int32_t FSkip = 0;                       // FPending's first frames already written
  std::vector<uint8_t> FQueue;             // frames convolved, not yet written, from FQueued
  size_t FQueued = 0;
  std::vector<uint8_t> FPast;  // the last FParts + 1 blocks convolved, a ring
  int64_t FBlocks = 0;         // blocks convolved since the signal started
  int64_t FFirst = 0;          // the frame since Reset where FPending starts
};

}  // namespace

std::unique_ptr<TKernelEngine> MakeFftEngine(const TLongFilter& Filter, int32_t BlockFrames) {
  return MakeFftEngine(std::make_shared<const TLongFilter>(Filter), BlockFrames);
}

std::unique_ptr<TKernelEngine> MakeFftEngine(std::shared_ptr<const TLongFilter> Filter, int32_t BlockFrames) {
  return std::make_unique<TFftKernel>(std::move(Filter), BlockFrames);
}

void RunFftKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                  const TLongFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  TFftKernel Engine(std::make_shared<const TLongFilter>(Filter), BlockFrames);
  Engine.SetLive(Length.UntilEnd);
  Engine.Prepare(Format, {Run.Clip, Run.Target, Run.Dither}, Length.Frames);
  DriveEngine(Engine, Source, Sink, Length, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
