// The reference kernel: one frame at a time, exactly as the arithmetic is
// defined. Faster kernels are tested against it byte for byte.
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

// The loop for one source format, specialised at compile time so that the
// frame loop holds no test of it; each channel has its own ring.
template <TSampleFormat Format>
void RunPath(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& In, const TAudioFormat& Out,
             const TRunLength& Length, const TFirFilter& Filter, TRunContext& Run) {
  using TEntry = std::conditional_t<
      Format == TSampleFormat::Float64, double,
      std::conditional_t<Format == TSampleFormat::Float32, float,
                         std::conditional_t<Format == TSampleFormat::Pcm8, int8_t, int32_t>>>;
  constexpr int SampleBytes = BytesPerSample(Format);
  const int Channels = In.Channels;
  const auto History = std::make_unique<TEntry[]>(static_cast<size_t>(Channels) * FIR_HISTORY_SIZE);  // zeroed: silence
  const TStoreRule Rule = StoreRule(Out.Samples, Run.Clip);
  const double Scale = LevelScale(Format, Out.Samples);
  const std::optional<TDither> Dither = DitherFor(Run.Dither, Format, Out.Samples);
  TOverflowCount& Count = Run.Overflow;
  std::vector<uint8_t> Frame(static_cast<size_t>(In.FrameBytes()));
  std::vector<uint8_t> Stored(static_cast<size_t>(Out.FrameBytes()));
  double Sum[MAX_CHANNELS];  // the float sums, scaled exactly
  uint32_t P = 0;
  for (int64_t N = 0; N < Length.Frames; ++N) {
    if (!Source.Ready()) Sink.Flush();
    if (!Length.UntilEnd)
      Source.ReadFrames(Frame.data(), 1);
    else if (Source.ReadArrived(Frame.data(), 1) == 0)
      break;
    for (int C = 0; C < Channels; ++C) {
      TEntry* const Ring = History.get() + static_cast<size_t>(C) * FIR_HISTORY_SIZE;
      Ring[P] = Level<Format, TEntry>(Frame.data() + C * SampleBytes);
      const float Acc = SumTaps(Ring, P, Filter);
      Sum[C] = static_cast<double>(Acc) * Scale;
      if (Dither) Sum[C] += Dither->Noise(N, C, Channels);
      if (!Storable(Sum[C], Rule)) Scale == 1.0 ? ThrowUnstorable(Acc, Rule, N) : ThrowUnstorable(Sum[C], Rule, N);
    }
    // Counted once the whole frame is known to be written.
    uint8_t* To = Stored.data();
    for (int C = 0; C < Channels; ++C) To = StoreSample(Sum[C], Out.Samples, Rule, Count, To);
    Count.Samples += Channels;
    Sink.WriteFrames(Stored.data(), 1);

    if (++P == FIR_HISTORY_SIZE) P = 0;
    Run.StepProgress();
  }
}

}  // namespace

void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                        const TFirFilter& Filter, TRunContext& Run) {
  RunReferenceKernel(Source, Sink, Format, TRunLength{NbEch, false}, Filter, Run);
}

void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format,
                        const TRunLength& Length, const TFirFilter& Filter, TRunContext& Run) {
  if (Length.Frames <= 0) return;
  const TDefaultFloatEnv Env;
  const TAudioFormat Out = Run.TargetFormat(Format);
  switch (Format.Samples) {
    case TSampleFormat::Pcm8: return RunPath<TSampleFormat::Pcm8>(Source, Sink, Format, Out, Length, Filter, Run);
    case TSampleFormat::Pcm16: return RunPath<TSampleFormat::Pcm16>(Source, Sink, Format, Out, Length, Filter, Run);
    case TSampleFormat::Pcm24: return RunPath<TSampleFormat::Pcm24>(Source, Sink, Format, Out, Length, Filter, Run);
    case TSampleFormat::Pcm32: return RunPath<TSampleFormat::Pcm32>(Source, Sink, Format, Out, Length, Filter, Run);
    case TSampleFormat::Float32: return RunPath<TSampleFormat::Float32>(Source, Sink, Format, Out, Length, Filter, Run);
    case TSampleFormat::Float64: return RunPath<TSampleFormat::Float64>(Source, Sink, Format, Out, Length, Filter, Run);
  }
}

}  // namespace kestrum
