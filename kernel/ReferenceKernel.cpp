// The reference kernel: one frame at a time, exactly as the arithmetic is
// defined. Faster kernels are tested against it byte for byte.
#include <bit>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>
#include <type_traits>

#include "base/Errors.h"
#include "kernel/FloatEnv.h"
#include "kernel/Kernel.h"
#include "wav/WavHeader.h"

namespace kestrum {

void ThrowUnstorable(float Acc, const TStoreRule& Rule, int64_t Frame) {
  char Sum[32];
  *std::to_chars(Sum, Sum + sizeof Sum - 1, Acc).ptr = '\0';  // shortest exact form
  throw EMathError("arithmetic overflow at frame " + std::to_string(Frame) + ": the filtered sum " + Sum +
                   (Rule.Clip || Rule.Float ? " is not a finite number" : " does not fit a 32-bit integer"),
                   Frame);
}

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

// The level of the sample at P, file bytes: 8-bit byte - 128, the 16- or
// 24-bit sample, the float's value.
template <TSampleFormat Format, typename TEntry>
inline TEntry Level(const uint8_t* P) {
  if constexpr (Format == TSampleFormat::Pcm8) return static_cast<TEntry>(P[0] - 128);
  if constexpr (Format == TSampleFormat::Pcm16) return static_cast<int16_t>(ReadU16LE(P));
  if constexpr (Format == TSampleFormat::Pcm24) return ReadS24LE(P);
  if constexpr (Format == TSampleFormat::Float32) return std::bit_cast<float>(ReadU32LE(P));
}

// The loop for one format, specialised at compile time so that the frame
// loop holds no format test.
template <int Channels, TSampleFormat Format>
void RunPath(TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length, const TFirFilter& Filter,
             TRunContext& Run) {
  constexpr bool Float = Format == TSampleFormat::Float32;
  constexpr int SampleBytes = BytesPerSample(Format);
  using TEntry = std::conditional_t<Float, float, std::conditional_t<Format == TSampleFormat::Pcm8, int8_t, int32_t>>;
  const auto History = std::make_unique<TEntry[]>(Channels * FIR_HISTORY_SIZE);  // zeroed: silence
  const TStoreRule Rule = StoreRule(Format, Run.Clip);
  TOverflowCount& Count = Run.Overflow;
  uint8_t Frame[Channels * SampleBytes];
  uint32_t P = 0;
  for (int64_t N = 0; N < Length.Frames; ++N) {
    if (!Source.Ready()) Sink.Flush();
    if (!Length.UntilEnd)
      Source.ReadFrames(Frame, 1);
    else if (Source.ReadArrived(Frame, 1) == 0)
      break;
    float Acc[Channels];
    for (int C = 0; C < Channels; ++C) {
      TEntry* const Ring = History.get() + C * FIR_HISTORY_SIZE;
      Ring[P] = Level<Format, TEntry>(Frame + C * SampleBytes);
      Acc[C] = SumTaps(Ring, P, Filter);
      if (!Storable(Acc[C], Rule)) ThrowUnstorable(Acc[C], Rule, N);
    }
    // Counted once the whole frame is known to be written.
    for (int C = 0; C < Channels; ++C) {
      uint8_t* const Out = Frame + C * SampleBytes;
      if constexpr (Float) {
        WriteU32LE(Out, std::bit_cast<uint32_t>(StoreFloat(Acc[C], Rule, Count)));
      } else {
        const int32_t Stored = StoreLevel(std::nearbyint(Acc[C]), Rule, Count);  // default rounding: ties to even
        // The 8-bit byte is the level + 128; unsigned so that it wraps.
        const uint32_t Bits = static_cast<uint32_t>(Stored) + (Format == TSampleFormat::Pcm8 ? 128u : 0u);
        for (int B = 0; B < SampleBytes; ++B) Out[B] = static_cast<uint8_t>(Bits >> 8 * B);
      }
    }
    Count.Samples += Channels;
    Sink.WriteFrames(Frame, 1);

    if (++P == FIR_HISTORY_SIZE) P = 0;
    Run.StepProgress();
  }
}

template <int Channels>
void RunChannels(TFrameSource& Source, TFrameSink& Sink, TSampleFormat Samples, const TRunLength& Length,
                 const TFirFilter& Filter, TRunContext& Run) {
  switch (Samples) {
    case TSampleFormat::Pcm8: return RunPath<Channels, TSampleFormat::Pcm8>(Source, Sink, Length, Filter, Run);
    case TSampleFormat::Pcm16: return RunPath<Channels, TSampleFormat::Pcm16>(Source, Sink, Length, Filter, Run);
    case TSampleFormat::Pcm24: return RunPath<Channels, TSampleFormat::Pcm24>(Source, Sink, Length, Filter, Run);
    case TSampleFormat::Float32:
      return RunPath<Channels, TSampleFormat::Float32>(Source, Sink, Length, Filter, Run);
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
  if (Format.Stereo())
    RunChannels<2>(Source, Sink, Format.Samples, Length, Filter, Run);
  else
    RunChannels<1>(Source, Sink, Format.Samples, Length, Filter, Run);
}

}  // namespace kestrum
