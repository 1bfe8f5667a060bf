// The reference kernel: one frame at a time, exactly as the arithmetic is
// defined. Faster kernels are tested against it byte for byte.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/kernel/Kernel.h"
#include "kestrum/base/Bytes.h"

namespace kestrum {

namespace {

template <typename TSum>
[[noreturn]] void ThrowSum(TSum Sum, const TStoreRule& Rule, int64_t Frame) {
  char Text[32];
  *std::to_chars(Text, Text + sizeof Text - 1, Sum).ptr = '\0';  // shortest exact form
  const char* const Problem = !std::isfinite(Sum) ? " is not a finite number"
                              : Rule.Float        ? " does not fit a 32-bit float"
                                                  : " does not fit a 32-bit integer";
  throw EMathError("arithmetic overflow at frame " + std::to_string(Frame) + ": the filtered sum " + Text + Problem,
                   Frame);
}

}  // namespace

void ThrowUnstorable(float Sum, const TStoreRule& Rule, int64_t Frame) { ThrowSum(Sum, Rule, Frame); }
void ThrowUnstorable(double Sum, const TStoreRule& Rule, int64_t Frame) { ThrowSum(Sum, Rule, Frame); }

namespace {

// One channel's sum of the taps over its history at position P.
template <typename TEntry>
inline float SumTaps(const TEntry* History, uint32_t P, const TFirFilter& Filter) {
  float Acc = 0.0f;
  for (int32_t I = 0; I < Filter.NbTaps; ++I) {
    const uint32_t Index = (P - static_cast<uint32_t>(EffectiveDelay(Filter.Delays[I]))) & FIR_HISTORY_MASK;
    Acc = static_cast<float>(static_cast<double>(Acc) +
                             static_cast<double>(History[Index]) * static_cast<double>(Filter.Coefs[I]));
  }
  return Acc;
}

// The level of the sample at P, file bytes: 8-bit byte - 128, the integer
// sample, the float's value.
template <TSampleFormat Format, typename TEntry>
inline TEntry Level(const uint8_t* P) {
  if constexpr (Format == TSampleFormat::Pcm8) return static_cast<TEntry>(P[0] - 128);
  if constexpr (Format == TSampleFormat::Pcm16) return static_cast<int16_t>(ReadU16LE(P));
  if constexpr (Format == TSampleFormat::Pcm24) return ReadS24LE(P);
  if constexpr (Format == TSampleFormat::Pcm32) return static_cast<int32_t>(ReadU32LE(P));
  if constexpr (Format == TSampleFormat::Float32) return std::bit_cast<float>(ReadU32LE(P));
  if constexpr (Format == TSampleFormat::Float64)
    return std::bit_cast<double>(uint64_t{ReadU32LE(P)} | uint64_t{ReadU32LE(P + 4)} << 32);
}

// The engine for one source format, specialised at compile time so that the
// frame loop holds no test of it; each channel has its own ring.
template <TSampleFormat Samples>
class TReferencePath final : public TKernelEngine {
public:
  using TEntry = std::conditional_t<
      Samples == TSampleFormat::Float64, double,
      std::conditional_t<Samples == TSampleFormat::Float32, float,
                         std::conditional_t<Samples == TSampleFormat::Pcm8, int8_t, int32_t>>>;
  static constexpr int SampleBytes = BytesPerSample(Samples);

  TReferencePath(const TFirFilter& Filter, const TAudioFormat& In, const TStoreSettings& Store)
      : FFilter(Filter), FRule(StoreRule(Store.Target.value_or(In.Samples), Store.Clip)),
        FScale(LevelScale(Samples, Store.Target.value_or(In.Samples))),
        FDither(DitherFor(Store.Dither, Samples, Store.Target.value_or(In.Samples))),
        FHistory(std::make_unique<TEntry[]>(static_cast<size_t>(In.Channels) * FIR_HISTORY_SIZE)) {
    FFormat = In;
    FTarget = In;
    FTarget.Samples = Store.Target.value_or(In.Samples);
  }

  void Prepare(const TAudioFormat&, const TStoreSettings&, int64_t) override {}

  TProcessed Process(const uint8_t* In, int32_t Count, uint8_t* Out) override {
    const TDefaultFloatEnv Env;
    TProcessed Result;
    Result.Tally = TOverflowCount::For(FTarget);
    const int Channels = FFormat.Channels;
    const size_t InBytes = size_t(FFormat.FrameBytes()), OutBytes = size_t(FTarget.FrameBytes());
    double Sum[MAX_CHANNELS];  // the float sums, scaled exactly
    TEntry Overwritten[MAX_CHANNELS];
    for (int32_t I = 0; I < Count; ++I) {
      const int64_t N = FNumber + FFrames;
      const uint8_t* const Frame = In + size_t(I) * InBytes;
      for (int C = 0; C < Channels; ++C) {
        TEntry* const Ring = FHistory.get() + static_cast<size_t>(C) * FIR_HISTORY_SIZE;
        Overwritten[C] = Ring[FP];
        Ring[FP] = Level<Samples, TEntry>(Frame + C * SampleBytes);
        const float Acc = SumTaps(Ring, FP, FFilter);
        Sum[C] = static_cast<double>(Acc) * FScale;
        if (FDither) Sum[C] += FDither->Noise(FFrames, C, Channels);
        if (!Storable(Sum[C], FRule)) {
          // The engine stands after the frames before this one.
          for (int K = 0; K <= C; ++K) FHistory[static_cast<size_t>(K) * FIR_HISTORY_SIZE + FP] = Overwritten[K];
          try {
            FScale == 1.0 ? ThrowUnstorable(Acc, FRule, N) : ThrowUnstorable(Sum[C], FRule, N);
          } catch (...) {
            Result.Failure = std::current_exception();
          }
          return Result;
        }
      }
      // Counted once the whole frame is known to be written.
      uint8_t* To = Out + size_t(I) * OutBytes;
      for (int C = 0; C < Channels; ++C) To = StoreSample(Sum[C], FTarget.Samples, FRule, Result.Tally, To);
      Result.Tally.Samples += Channels;
      ++Result.Written;
      ++FFrames;
      if (++FP == FIR_HISTORY_SIZE) FP = 0;
    }
    return Result;
  }

  void Reset() override {
    std::fill_n(FHistory.get(), static_cast<size_t>(FFormat.Channels) * FIR_HISTORY_SIZE, TEntry{});
    FP = 0;
    FFrames = 0;
  }

private:
  const TFirFilter FFilter;
  const TStoreRule FRule;
  const double FScale;
  const std::optional<TDither> FDither;
  const std::unique_ptr<TEntry[]> FHistory;  // zeroed: silence
  uint32_t FP = 0;
  int64_t FFrames = 0;  // frames since Prepare or Reset: the dither's frame
};

// The reference engine: its path is chosen when it is prepared.
class TReferenceKernel final : public TKernelEngine {
public:
  explicit TReferenceKernel(const TFirFilter& Filter) : FFilter(Filter) {}

  void Prepare(const TAudioFormat& Format, const TStoreSettings& Store, int64_t) override {
    const TDefaultFloatEnv Env;
    switch (Format.Samples) {
      case TSampleFormat::Pcm8: FPath = std::make_unique<TReferencePath<TSampleFormat::Pcm8>>(FFilter, Format, Store); break;
      case TSampleFormat::Pcm16: FPath = std::make_unique<TReferencePath<TSampleFormat::Pcm16>>(FFilter, Format, Store); break;
      case TSampleFormat::Pcm24: FPath = std::make_unique<TReferencePath<TSampleFormat::Pcm24>>(FFilter, Format, Store); break;
      case TSampleFormat::Pcm32: FPath = std::make_unique<TReferencePath<TSampleFormat::Pcm32>>(FFilter, Format, Store); break;
      case TSampleFormat::Float32: FPath = std::make_unique<TReferencePath<TSampleFormat::Float32>>(FFilter, Format, Store); break;
      case TSampleFormat::Float64: FPath = std::make_unique<TReferencePath<TSampleFormat::Float64>>(FFilter, Format, Store); break;
    }
    FFormat = FPath->Format();
    FTarget = FPath->Target();
  }
  TProcessed Process(const uint8_t* In, int32_t Count, uint8_t* Out) override {
    FPath->NumberFrom(FNumber);
    return FPath->Process(In, Count, Out);
  }
  void Reset() override { FPath->Reset(); }

private:
  const TFirFilter FFilter;
  std::unique_ptr<TKernelEngine> FPath;
};

}  // namespace

std::unique_ptr<TKernelEngine> MakeReferenceEngine(const TFirFilter& Filter) {
  return std::make_unique<TReferenceKernel>(Filter);
}

void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                        const TFirFilter& Filter, TRunContext& Run) {
  RunReferenceKernel(Source, Sink, Format, TRunLength{NbEch, false}, Filter, Run);
}

void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format,
                        const TRunLength& Length, const TFirFilter& Filter, TRunContext& Run) {
  if (Length.Frames <= 0) return;
  TReferenceKernel Engine(Filter);
  Engine.Prepare(Format, {Run.Clip, Run.Target, Run.Dither}, Length.Frames);
  DriveEngine(Engine, Source, Sink, Length, Run, 1, fast::kBlockFrames);
}

}  // namespace kestrum
