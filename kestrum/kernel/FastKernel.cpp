// The fast kernel's driver: reads the source in blocks, has the blocks
// computed by a few threads, and hands the results over in frame order.
#include "kestrum/kernel/FastKernel.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "kestrum/audio/Levels.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Bytes.h"

// The rounding to integers relies on float arithmetic done in float.
static_assert(FLT_EVAL_METHOD == 0, "float expressions must be evaluated in float");

namespace kestrum::fast {

namespace {

// Fills Taps from Count taps, Tap(i) giving tap i's delay and coefficient.
template <class TTap>
void FillTaps(TTaps& Taps, int32_t Count, TTap Tap, double MaxLevel, int32_t Frames) {
  // Every partial sum is at most MaxLevel * sum |Coefs| times a growth of
  // (1 + 2^-24 + 2^-53) per tap from its roundings (to double, then float);
  // (1 + 2^-20) per tap also covers the roundings of this bound itself.
  double Bound = MaxLevel;
  double Sum = 0.0;
  for (int32_t I = 0; I < Count; ++I) {
    const auto [Delay, Coef] = Tap(I);
    if (Delay >= Frames && std::isfinite(Coef)) continue;
    Taps.Delays.push_back(Delay);
    Taps.Coefs.push_back(Coef);
    Taps.MaxDelay = std::max(Taps.MaxDelay, Delay);
    Sum += std::fabs(Taps.Coefs.back());
    Bound *= 1.0 + 0x1p-20;
  }
  // 32-bit levels times float coefficients are not exact in double.
  Taps.Split = MaxLevel <= 0x1p29 && Bound * Sum < 0x1p127;  // false for infinite and NaN coefficients too
}

}  // namespace

TTaps::TTaps(const TFirFilter& Filter, double MaxLevel, int32_t Frames) {
  const auto Tap = [&Filter](int32_t I) {
    return std::pair<int32_t, float>(EffectiveDelay(Filter.Delays[size_t(I)]), Filter.Coefs[size_t(I)]);
  };
  FillTaps(*this, Filter.NbTaps, Tap, MaxLevel, Frames);
}

TTaps::TTaps(const std::vector<double>& Line, double MaxLevel, int32_t Frames) {
  const auto Tap = [&Line](int32_t I) { return std::pair<int32_t, float>(I, static_cast<float>(Line[size_t(I)])); };
  FillTaps(*this, static_cast<int32_t>(Line.size()), Tap, MaxLevel, Frames);
}

TTaps TapsFor(const TFirFilter& Filter, TAudioFormat Format, int32_t Frames) {
  if (Format.Float()) return TTaps(Filter, HUGE_VAL, INT32_MAX);  // an infinite bound: no split
  return TTaps(Filter, -static_cast<double>(LevelRange(Format.Bits()).Min), Frames);
}

TTaps TapsFor(const std::vector<double>& Line, TAudioFormat Format, int32_t Frames) {
  if (Format.Float()) return TTaps(Line, HUGE_VAL, INT32_MAX);
  return TTaps(Line, -static_cast<double>(LevelRange(Format.Bits()).Min), Frames);
}

void LoadLevelsPortable(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels) {
  DecodeLevels(Raw, Frames, Format, C, Levels);
}

void SumTapsPortable(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  const size_t NbTaps = Taps.Delays.size();
  TStopPoll Poll;  // a frame's taps at a time: these are the slow steps already
  if (Taps.Split) {
    constexpr int kChains = 4;  // frames side by side, to hide the split's latency
    for (int32_t J = 0; J < Count; J += kChains) {
      double A[kChains] = {};
      for (size_t I = 0; I < NbTaps; ++I) {
        const double* const P = Levels + J - Taps.Delays[I];
        for (int U = 0; U < kChains; ++U) {
          const double S = A[U] + P[U] * Taps.Coefs[I];  // the product is exact
          const double G = S * kSplitter;
          A[U] = G + (S - G);
        }
      }
      for (int U = 0; U < kChains; ++U) Acc[J + U] = static_cast<float>(A[U]);
      Poll.Done(static_cast<int64_t>(NbTaps) * kChains);
    }
    return;
  }
  for (int32_t J = 0; J < Count; ++J) {
    float A = 0.0f;
    for (size_t I = 0; I < NbTaps; ++I)
      A = static_cast<float>(static_cast<double>(A) + Levels[J - Taps.Delays[I]] * Taps.Coefs[I]);
    Acc[J] = A;
    Poll.Done(static_cast<int64_t>(NbTaps));
  }
}

namespace {

template <typename TSum>
int32_t StoreSums(const TSum* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  for (int32_t J = 0; J < Count; ++J) {
    for (int C = 0; C < Format.Channels; ++C)
      if (!Storable(Sums[C][J], Rule)) return J;
    for (int C = 0; C < Format.Channels; ++C) Out = StoreSample(Sums[C][J], Format.Samples, Rule, Tally, Out);
  }
  return Count;
}

}  // namespace

int32_t RoundSumsPortable(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                          uint8_t* Out, TOverflowCount& Tally) {
  return StoreSums(Acc, Count, Format, Rule, Out, Tally);
}

int32_t RoundSumsPortable(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                          uint8_t* Out, TOverflowCount& Tally) {
  return StoreSums(Sums, Count, Format, Rule, Out, Tally);
}

namespace {

// The format written for frames of Format: Target's samples, when given.
TAudioFormat TargetOf(TAudioFormat Format, std::optional<TSampleFormat> Target) {
  if (Target) Format.Samples = *Target;
  return Format;
}

// Taps that only hold the longest history of Channels' taps.
TTaps LongestHistory(const std::vector<TTaps>& Channels) {
  TTaps History = Channels.front();
  for (const TTaps& Taps : Channels) History.MaxDelay = std::max(History.MaxDelay, Taps.MaxDelay);
  return History;
}

}  // namespace

TBlockEngine::TBlockEngine(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip, int32_t Frames,
                           std::optional<TSampleFormat> TargetSamples, std::optional<uint64_t> DitherSeed)
    : TBlockEngine(TapsFor(Filter, Format, Frames), Format, Clip, TargetSamples, DitherSeed) {}

TBlockEngine::TBlockEngine(TTaps Taps, const TAudioFormat& Format, bool Clip, std::optional<TSampleFormat> TargetSamples,
                           std::optional<uint64_t> DitherSeed)
    : Format(Format), Target(TargetOf(Format, TargetSamples)), Scale(LevelScale(Format.Samples, Target.Samples)),
      Taps(std::move(Taps)), Rule(StoreRule(Target.Samples, Clip)),
      Dither(DitherFor(DitherSeed, Format.Samples, Target.Samples)) {}

TBlockEngine::TBlockEngine(std::vector<TTaps> PerChannel, const TAudioFormat& Format, bool Clip,
                           std::optional<TSampleFormat> TargetSamples, std::optional<uint64_t> DitherSeed)
    : Format(Format), Target(TargetOf(Format, TargetSamples)), Scale(LevelScale(Format.Samples, Target.Samples)),
      Taps(LongestHistory(PerChannel)), Rule(StoreRule(Target.Samples, Clip)), PerChannel(std::move(PerChannel)),
      Dither(DitherFor(DitherSeed, Format.Samples, Target.Samples)) {}

TBlockResult TBlockEngine::Compute(const uint8_t* Raw, int32_t Loaded, int32_t Count, double* const* Levels,
                                   float* const* Acc, uint8_t* Out, int64_t First) const {
  // Every scaled sum is a float: the float steps store it. Dithered sums
  // are not floats.
  bool FloatSums = !Dither;
  for (int C = 0; C < Format.Channels; ++C) {
    LoadLevels(Raw, Loaded, Format, C, Levels[C] + (Count - Loaded));
    std::fill(Levels[C] + Count, Levels[C] + Count + kTilePad, 0.0);
    SumTaps(Levels[C], Count, PerChannel.empty() ? Taps : PerChannel[size_t(C)], Acc[C]);
    if (Scale != 1.0)
      for (int32_t J = 0; J < Count && FloatSums; ++J) {
        const double Sum = static_cast<double>(Acc[C][J]) * Scale;
        FloatSums = std::fabs(Sum) <= FLT_MAX ? static_cast<double>(static_cast<float>(Sum)) == Sum
                                              : !std::isfinite(Sum);
      }
  }
  TBlockResult Result;
  Result.Tally = TOverflowCount::For(Target);
  // The scaled sums, when not floats: a buffer of the thread's own, which
  // grows to its largest block once, rather than memory taken and given
  // back for every block.
  thread_local std::vector<double> SumBuffer;
  const double* Sums[MAX_CHANNELS] = {};
  if (FloatSums) {
    if (Scale != 1.0)
      for (int C = 0; C < Format.Channels; ++C)
        for (int32_t J = 0; J < Count; ++J) Acc[C][J] = static_cast<float>(static_cast<double>(Acc[C][J]) * Scale);
    Result.Good = RoundSums(Acc, Count, Target, Rule, Out, Result.Tally);
  } else {
    // A scaled sum beyond the float range, or below its normal numbers, or dithered.
    SumBuffer.resize(std::max(SumBuffer.size(), size_t(Format.Channels) * size_t(Count)));
    for (int C = 0; C < Format.Channels; ++C) {
      double* const Line = SumBuffer.data() + size_t(C) * size_t(Count);
      for (int32_t J = 0; J < Count; ++J) Line[J] = static_cast<double>(Acc[C][J]) * Scale;
      if (Dither)
        for (int32_t J = 0; J < Count; ++J) Line[J] += Dither->Noise(First + J, C, Format.Channels);
      Sums[C] = Line;
    }
    Result.Good = RoundSumsPortable(Sums, Count, Target, Rule, Out, Result.Tally);
  }
  Result.Tally.Samples = int64_t{Result.Good} * Format.Channels;
  if (Result.Good < Count)  // the first channel that fails, as the reference reports it
    for (int C = Format.Channels - 1; C >= 0; --C) {
      const double Sum = FloatSums ? static_cast<double>(Acc[C][Result.Good]) : Sums[C][Result.Good];
      if (!Storable(Sum, Rule)) Result.BadSum = Sum;
    }
  return Result;
}

void TBlockEngine::Check(const TBlockResult& Result, int32_t Count, int64_t First) const {
  if (Result.Good >= Count) return;
  // Sums of the source's format fail as floats, scaled ones as doubles.
  if (Scale == 1.0) ThrowUnstorable(static_cast<float>(Result.BadSum), Rule, First + Result.Good);
  ThrowUnstorable(Result.BadSum, Rule, First + Result.Good);
}

namespace {

// A block of frames on its way: read by the caller's thread, computed by any
// thread, handed over by the caller's thread.
struct TBlock {
  std::vector<uint8_t> Raw;  // Taps.MaxDelay frames of history, then the block's frames, as in the file
  std::vector<uint8_t> Out;  // the block's frames as they go to the writer
  int64_t First = 0;         // frame number of the block's first frame
  int32_t Count = 0;         // the block's frames
  TBlockResult Result;       // what computing it gave
  std::exception_ptr Error;  // a failure to read or compute the block
  bool Done = false;         // computed (or failed), not yet handed over
};

// A thread's working memory: one channel's levels at a time (the block's
// raw frames hold its history), every channel's sums.
struct TScratch {
  std::vector<double> Levels;
  std::vector<std::vector<float>> Acc;  // one per channel
};

// The run: the caller's thread reads blocks ahead into a ring of slots and
// hands finished blocks over in order; worker threads, and the caller while
// it waits, compute the oldest block read and not yet taken.
class TPipeline {
public:
  TPipeline(TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length, const TBlockEngine& Engine,
            TRunContext& Run, int Threads, int32_t BlockFrames)
      : FSource(Source), FSink(Sink), FRun(Run), FEngine(Engine), FTaps(Engine.Taps), FFormat(Engine.Format),
        FBlockFrames(BlockFrames), FLength(Length) {
    const int64_t NbBlocks = Length.Frames / BlockFrames + (Length.Frames % BlockFrames != 0);
    const int64_t Workers = std::min<int64_t>(Threads - 1, NbBlocks - 1);
    FSlots.resize(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(Workers, 0) + 2, NbBlocks)));
    const size_t FrameBytes = static_cast<size_t>(FFormat.FrameBytes());
    for (TBlock& Slot : FSlots) {
      Slot.Raw.resize((static_cast<size_t>(FTaps.MaxDelay) + static_cast<size_t>(BlockFrames)) * FrameBytes);
      Slot.Out.resize(static_cast<size_t>(BlockFrames) * static_cast<size_t>(Engine.Target.FrameBytes()));
    }
    for (int64_t I = 0; I < Workers; ++I) FScratches.push_back(NewScratch());
    FWorkers.reserve(FScratches.size());
    // Workers start with every signal blocked, so that a stop signal reaches
    // the caller's thread and ends any wait it is in (a write to a FIFO, say).
    sigset_t All, Old;
    sigfillset(&All);
    pthread_sigmask(SIG_SETMASK, &All, &Old);
    for (TScratch& Scratch : FScratches) {
      try {
        FWorkers.emplace_back([this, &Scratch] { Work(Scratch); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the caller's thread computes what they don't
      }
    }
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
  }

  // Stops the workers once their current block is done.
  ~TPipeline() {
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FStop = true;
    }
    FChanged.notify_all();
    for (std::thread& Worker : FWorkers) Worker.join();
  }

  // Reads ahead while the source has frames at hand; when it has none, hands
  // over every block read before waiting for it, so that a live source's
  // frames leave as soon as they are filtered.
  void Run() {
    for (int64_t W = 0;; ++W) {
      while (!FEnded && FNextRead < W + static_cast<int64_t>(FSlots.size())) {
        if (!FSource.Ready()) {
          if (FNextRead > W) break;  // block W first
          FSink.Flush();
        }
        Read(FNextRead);
      }
      if (W >= FNextRead) return;
      TBlock& Block = Slot(W);
      {
        std::unique_lock<std::mutex> Lock(FMutex);
        while (!Block.Done) {
          if (FNextCompute < FNextRead)
            ComputeNext(Lock, Scratch());
          else
            FChanged.wait(Lock);
        }
        Block.Done = false;
      }
      HandOver(Block);
    }
  }

private:
  TBlock& Slot(int64_t K) { return FSlots[static_cast<size_t>(K % static_cast<int64_t>(FSlots.size()))]; }
  TScratch& Scratch() {
    if (FOwnScratch.Levels.empty()) FOwnScratch = NewScratch();
    return FOwnScratch;
  }

  TScratch NewScratch() const {
    TScratch Scratch;
    Scratch.Levels.resize(static_cast<size_t>(FTaps.MaxDelay + FBlockFrames + kTilePad));
    Scratch.Acc.assign(static_cast<size_t>(FFormat.Channels), std::vector<float>(static_cast<size_t>(FBlockFrames + kTilePad)));
    return Scratch;
  }

  // Fills block K's slot: the history from block K - 1's (silence before the
  // first frame), then its own frames, those that have arrived. A read
  // failure is kept in the block and raised when its turn to be handed over
  // comes, after the blocks before. Sets FEnded, reading no block, once the
  // run's frames are all read or its source's signal has ended.
  void Read(int64_t K) {
    TBlock& Block = Slot(K);
    const size_t FrameBytes = static_cast<size_t>(FFormat.FrameBytes());
    const size_t HistoryBytes = static_cast<size_t>(FTaps.MaxDelay) * FrameBytes;
    Block.First = FFramesRead;
    const int32_t Want = static_cast<int32_t>(std::min<int64_t>(FBlockFrames, FLength.Frames - FFramesRead));
    Block.Error = nullptr;
    if (K == 0) {
      std::memset(Block.Raw.data(), FFormat.Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00, HistoryBytes);
    } else {
      const TBlock& Before = Slot(K - 1);
      const size_t BeforeEnd = HistoryBytes + static_cast<size_t>(Before.Count) * FrameBytes;
      // With one slot, block K - 1 is in the same slot (a block that a short
      // read left short is followed by another): the ranges may overlap.
      std::memmove(Block.Raw.data(), Before.Raw.data() + BeforeEnd - HistoryBytes, HistoryBytes);
    }
    uint8_t* const Frames = Block.Raw.data() + HistoryBytes;
    try {
      Block.Count = Want <= 0 ? 0 : FSource.ReadArrived(Frames, Want);
      if (Block.Count == 0 && Want > 0 && !FLength.UntilEnd) {  // silence past the signal's end
        FSource.ReadFrames(Frames, Want);
        Block.Count = Want;
      }
      if (Block.Count == 0) {
        FEnded = true;
        return;
      }
    } catch (...) {
      Block.Count = 0;
      Block.Error = std::current_exception();
      FEnded = true;
    }
    FFramesRead += Block.Count;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      ++FNextRead;
    }
    FChanged.notify_one();
  }

  void Work(TScratch& Scratch) {
    std::unique_lock<std::mutex> Lock(FMutex);
    for (;;) {
      FChanged.wait(Lock, [this] { return FStop || FNextCompute < FNextRead; });
      if (FStop) return;
      ComputeNext(Lock, Scratch);
    }
  }

  // Computes the oldest block not yet taken, with the lock released meanwhile.
  void ComputeNext(std::unique_lock<std::mutex>& Lock, TScratch& Scratch) {
    TBlock& Block = Slot(FNextCompute++);
    Lock.unlock();
    if (!Block.Error) {
      try {
        double* const Levels = Scratch.Levels.data() + FTaps.MaxDelay;
        double* ChannelLevels[MAX_CHANNELS];  // the raw frames hold the history
        float* Acc[MAX_CHANNELS];
        for (int C = 0; C < FFormat.Channels; ++C) {
          ChannelLevels[C] = Levels;
          Acc[C] = Scratch.Acc[static_cast<size_t>(C)].data();
        }
        Block.Result = FEngine.Compute(Block.Raw.data(), FTaps.MaxDelay + Block.Count, Block.Count, ChannelLevels,
                                       Acc, Block.Out.data(), Block.First);
      } catch (...) {
        Block.Error = std::current_exception();
      }
    }
    Lock.lock();
    Block.Done = true;
    FChanged.notify_all();
  }

  // Hands the block's good frames to the sink in runs that end where a
  // progress report falls, each followed by the StepProgress calls of its
  // frames, so that reports, writes and a failing write come in the
  // reference kernel's order; then counts the block's overflows and raises
  // its failure, if any.
  void HandOver(const TBlock& Block) {
    if (Block.Error) std::rethrow_exception(Block.Error);
    const size_t FrameBytes = static_cast<size_t>(FEngine.Target.FrameBytes());
    for (int32_t Done = 0; Done < Block.Result.Good;) {
      const int32_t Frames = std::min(Block.Result.Good - Done, FRun.FramesToProgress());
      FSink.WriteFrames(Block.Out.data() + static_cast<size_t>(Done) * FrameBytes, Frames);
      FRun.StepProgress(Frames);
      Done += Frames;
    }
    FRun.Overflow.Add(Block.Result.Tally);
    FEngine.Check(Block.Result, Block.Count, Block.First);
  }

  TFrameSource& FSource;
  TFrameSink& FSink;
  TRunContext& FRun;
  const TBlockEngine& FEngine;
  const TTaps& FTaps;
  const TAudioFormat FFormat;
  const int32_t FBlockFrames;
  const TRunLength FLength;
  std::vector<TBlock> FSlots;  // block K lives in slot K % size
  std::vector<TScratch> FScratches;  // one per worker
  TScratch FOwnScratch;              // the caller's thread's
  int64_t FFramesRead = 0;           // the caller's thread's own, as FEnded
  bool FEnded = false;               // no block is read after the last or a failure

  std::mutex FMutex;  // guards the counters below and the blocks' Done
  std::condition_variable FChanged;
  int64_t FNextRead = 0;     // blocks read
  int64_t FNextCompute = 0;  // blocks taken for computing
  bool FStop = false;
  std::vector<std::thread> FWorkers;
};

}  // namespace

void RunBlocks(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
               const TFirFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  // The engine's tables hold the coefficients as the default environment
  // reads them: under denormals-are-zero a subnormal one would read as 0.
  const TDefaultFloatEnv Env;
  // A short run needs no more memory than its frames.
  const int32_t Frames = static_cast<int32_t>(std::min<int64_t>(Length.Frames, INT32_MAX));
  RunEngine(Source, Sink, Length, TBlockEngine(Filter, Format, Run.Clip, Frames, Run.Target, Run.Dither), Run, Threads, BlockFrames);
}

void RunEngine(TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length, const TBlockEngine& Engine,
               TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  const TDefaultFloatEnv Env;
  // Past a few dozen threads the caller's own work per frame (reading,
  // writing, StepProgress) is the limit: more would only take memory.
  constexpr int kMaxThreads = 32;
  if (Threads <= 0) Threads = static_cast<int>(std::thread::hardware_concurrency());
  Threads = std::clamp(Threads, 1, kMaxThreads);
  const int32_t Frames = static_cast<int32_t>(std::min<int64_t>(Length.Frames, INT32_MAX));
  TPipeline Pipeline(Source, Sink, Length, Engine, Run, Threads, std::clamp(BlockFrames, 1, Frames));
  Pipeline.Run();
}

}  // namespace kestrum::fast

namespace kestrum {

void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                   const TFirFilter& Filter, TRunContext& Run, int Threads) {
  RunFastKernel(Source, Sink, Format, TRunLength{NbEch, false}, Filter, Run, Threads);
}

void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                   const TFirFilter& Filter, TRunContext& Run, int Threads) {
  // Left to choose, a light filter runs on the caller's thread alone: its
  // blocks are computed faster than they are read and written, and handing
  // them to other threads costs more than it saves.
  constexpr int32_t kLightTaps = 4;
  if (Threads <= 0 && Filter.NbTaps <= kLightTaps) Threads = 1;
  fast::RunBlocks(Source, Sink, Format, Length, Filter, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
