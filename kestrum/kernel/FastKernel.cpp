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
#include <variant>

#include "kestrum/audio/Levels.h"
#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/kernel/Engine.h"
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

}  // namespace kestrum::fast

namespace kestrum {

namespace {

// The block engine (TBlockEngine) as a TKernelEngine, for a .fir or for a
// long filter's every tap. Its blocks may be computed apart: a block's
// outputs need only the levels of Taps.MaxDelay frames before it.
//
// Through Process, each channel's levels live in one buffer: the History
// levels before Pos are the history of the frame whose level goes to Pos. A
// block's levels are appended at Pos; when the buffer is full, the history
// moves back to the front, so that moving costs at most one level per frame.
class TBlockKernel final : public TKernelEngine {
public:
  explicit TBlockKernel(const TFirFilter& Filter) : FFilter(Filter) {}
  explicit TBlockKernel(const TLongFilter& Filter) : FFilter(Filter) {}

  void Prepare(const TAudioFormat& Format, const TStoreSettings& Store, int64_t Frames) override {
    // The tables hold the coefficients as the default environment reads
    // them: under denormals-are-zero a subnormal one would read as 0.
    const TDefaultFloatEnv Env;
    // A short run needs no more history than its frames.
    const int32_t Most = static_cast<int32_t>(std::clamp<int64_t>(Frames, 1, INT32_MAX));
    if (const TFirFilter* Fir = std::get_if<TFirFilter>(&FFilter)) {
      FEngine.emplace(*Fir, Format, Store.Clip, Most, Store.Target, Store.Dither);
      FLight = Fir->NbTaps <= kLightTaps;
    } else {
      const TLongFilter& Long = std::get<TLongFilter>(FFilter);
      CheckChannels(Long, Format.Channels, "the filter");
      std::vector<fast::TTaps> PerChannel;
      if (Long.Channels.size() > 1)
        for (const std::vector<double>& Line : Long.Channels) PerChannel.push_back(fast::TapsFor(Line, Format, Most));
      if (PerChannel.empty())
        FEngine.emplace(fast::TapsFor(Long.Channels[0], Format, Most), Format, Store.Clip, Store.Target, Store.Dither);
      else
        FEngine.emplace(std::move(PerChannel), Format, Store.Clip, Store.Target, Store.Dither);
      FLight = false;
    }
    FFormat = Format;
    FTarget = FEngine->Target;
    FHistory = FEngine->Taps.MaxDelay;
    FLevels.assign(size_t(Format.Channels),
                   std::vector<double>(2 * size_t(FHistory) + fast::kBlockFrames + fast::kTilePad));
    FAcc.assign(size_t(Format.Channels), std::vector<float>(fast::kBlockFrames + fast::kTilePad));
    Reset();
  }

  TProcessed Process(const uint8_t* In, int32_t Count, uint8_t* Out) override {
    const TDefaultFloatEnv Env;
    TProcessed Result;
    Result.Tally = TOverflowCount::For(FTarget);
    const size_t InBytes = size_t(FFormat.FrameBytes()), OutBytes = size_t(FTarget.FrameBytes());
    for (int32_t Done = 0; Done < Count;) {
      const int32_t Block = std::min(Count - Done, fast::kBlockFrames);
      const bool Good = ProcessBlock(In + size_t(Done) * InBytes, Block, Out + size_t(Done) * OutBytes, Result);
      Done += Block;
      if (!Good) break;
    }
    return Result;
  }

  void Reset() override {
    for (std::vector<double>& L : FLevels) std::fill_n(L.begin(), std::min<size_t>(L.size(), size_t(FHistory)), 0.0);
    FPos = FHistory;
    FFrames = 0;
  }

  int32_t History() const override { return FHistory; }

  TProcessed ComputeBlock(const uint8_t* Raw, int32_t Count, uint8_t* Out, int64_t First) const override {
    const TDefaultFloatEnv Env;
    // A thread's working memory, which grows to its largest block once: one
    // channel's levels at a time (Raw holds the history), every channel's sums.
    thread_local std::vector<double> Levels;
    thread_local std::vector<std::vector<float>> Acc;
    Levels.resize(std::max(Levels.size(), size_t(FHistory) + size_t(Count) + fast::kTilePad));
    if (Acc.size() < size_t(FFormat.Channels)) Acc.resize(size_t(FFormat.Channels));
    double* ChannelLevels[MAX_CHANNELS];
    float* Sums[MAX_CHANNELS];
    for (int C = 0; C < FFormat.Channels; ++C) {
      std::vector<float>& Line = Acc[size_t(C)];
      Line.resize(std::max(Line.size(), size_t(Count) + fast::kTilePad));
      ChannelLevels[C] = Levels.data() + FHistory;
      Sums[C] = Line.data();
    }
    const fast::TBlockResult Block = FEngine->Compute(Raw, FHistory + Count, Count, ChannelLevels, Sums, Out, First);
    TProcessed Result{Block.Good, Block.Tally, nullptr};
    First += FNumber;  // in errors
    if (Block.Good < Count) Result.Failure = Failure(Block, Count, First);
    return Result;
  }

  bool Light() const override { return FLight; }

private:
  // Left to choose, a filter of this many taps or fewer runs on the caller's
  // thread alone: its blocks are computed faster than they are read and
  // written, and handing them to other threads costs more than it saves.
  static constexpr int32_t kLightTaps = 4;

  // Filters Count frames, at most kBlockFrames; false when one failed.
  bool ProcessBlock(const uint8_t* In, int32_t Count, uint8_t* Out, TProcessed& Result) {
    if (FPos + Count > 2 * FHistory + fast::kBlockFrames) {
      for (std::vector<double>& L : FLevels)
        if (!L.empty()) std::copy(L.begin() + (FPos - FHistory), L.begin() + FPos, L.begin());
      FPos = FHistory;
    }
    double* At[MAX_CHANNELS];
    float* Sums[MAX_CHANNELS];
    for (size_t C = 0; C < FLevels.size(); ++C) {
      At[C] = FLevels[C].data() + FPos;
      Sums[C] = FAcc[C].data();
    }
    const fast::TBlockResult Block = FEngine->Compute(In, Count, Count, At, Sums, Out, FFrames);
    const int64_t First = FNumber + FFrames;  // in errors
    // After a failing frame the engine stands after the good ones, as if
    // the signal had ended there.
    Result.Written += Block.Good;
    Result.Tally.Add(Block.Tally);
    FPos += Block.Good;
    FFrames += Block.Good;
    if (Block.Good == Count) return true;
    if (FFormat.Float())
      for (size_t C = 0; C < FLevels.size(); ++C) Result.Failure = NonFiniteAt(At[C], First, Block.Good, Result.Failure);
    if (!Result.Failure) Result.Failure = Failure(Block, Count, First);
    return false;
  }

  // A sample that is not a finite number makes every sum that holds it fail:
  // the first one in the failing frame's history, or in the frame itself, is
  // the cause. At: one channel's levels of the block, its history before;
  // First: the number of the block's first frame; Bad: the failing frame in
  // it. Keeps Known when it names an earlier frame.
  std::exception_ptr NonFiniteAt(const double* At, int64_t First, int32_t Bad, std::exception_ptr Known) const {
    for (int32_t I = -FHistory; I <= Bad; ++I)
      if (!std::isfinite(At[I])) {
        if (Known) {
          try {
            std::rethrow_exception(Known);
          } catch (const EMathError& E) {
            if (E.Frame() <= First + I) return Known;
          }
        }
        return std::make_exception_ptr(NonFiniteSampleError(First + I));
      }
    return Known;
  }

  std::exception_ptr Failure(const fast::TBlockResult& Block, int32_t Count, int64_t First) const {
    try {
      FEngine->Check(Block, Count, First);
    } catch (...) {
      return std::current_exception();
    }
    return nullptr;
  }

  const std::variant<TFirFilter, TLongFilter> FFilter;
  std::optional<fast::TBlockEngine> FEngine;
  bool FLight = false;
  int32_t FHistory = 0;                      // levels kept before FPos
  std::vector<std::vector<double>> FLevels;  // one per channel
  std::vector<std::vector<float>> FAcc;
  int32_t FPos = 0;
  int64_t FFrames = 0;  // frames since Prepare or Reset
};

}  // namespace

std::unique_ptr<TKernelEngine> MakeBlockEngine(const TFirFilter& Filter) {
  return std::make_unique<TBlockKernel>(Filter);
}

std::unique_ptr<TKernelEngine> MakeBlockEngine(const TLongFilter& Filter) {
  return std::make_unique<TBlockKernel>(Filter);
}

void fast::RunBlocks(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                     const TFirFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  TBlockKernel Engine(Filter);
  Engine.Prepare(Format, {Run.Clip, Run.Target, Run.Dither}, Length.Frames);
  DriveEngine(Engine, Source, Sink, Length, Run, Threads, BlockFrames);
}

void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                   const TFirFilter& Filter, TRunContext& Run, int Threads) {
  RunFastKernel(Source, Sink, Format, TRunLength{NbEch, false}, Filter, Run, Threads);
}

void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                   const TFirFilter& Filter, TRunContext& Run, int Threads) {
  fast::RunBlocks(Source, Sink, Format, Length, Filter, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
