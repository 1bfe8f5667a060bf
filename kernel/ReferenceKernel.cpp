// The reference kernel: one frame at a time, exactly as the arithmetic is
// defined. Faster kernels are tested against it byte for byte.
#include <charconv>
#include <cmath>
#include <memory>
#include <string>

#include "base/Errors.h"
#include "kernel/Kernel.h"
#include "filter/Kestrum.h"

namespace kestrum {

void ThrowUnstorable(float Acc, const TStoreRule& Rule, int64_t Frame) {
  char Sum[32];
  *std::to_chars(Sum, Sum + sizeof Sum - 1, Acc).ptr = '\0';  // shortest exact form
  throw EMathError("arithmetic overflow at frame " + std::to_string(Frame) + ": the filtered sum " + Sum +
                   (Rule.Clip || Rule.Float ? " is not a finite number" : " does not fit a 32-bit integer"),
                   Frame);
}

namespace {

// The level an 8-bit fetch stands for: the fetched value is the file's byte
// read as signed; the level is that byte minus 128.
inline int8_t Level8(float Fetched) {
  const int Byte = static_cast<int>(Fetched) & 0xFF;
  return static_cast<int8_t>(Byte - 128);
}

// One channel's sum of the taps over its history at position P.
template <typename TEntry>
inline float SumTaps(const TEntry* History, uint32_t P, const TFirFilter& Filter) {
  float Acc = 0.0f;
  for (int32_t I = 0; I < Filter.NbTaps; ++I) {
    const uint32_t Index = (P - static_cast<uint32_t>(Filter.Delays[I])) & FIR_HISTORY_MASK;
    Acc = static_cast<float>(static_cast<double>(Acc) +
                             static_cast<double>(History[Index]) * static_cast<double>(Filter.Coefs[I]));
  }
  return Acc;
}

template <bool Stereo, TSampleFormat Format>
inline void Fetch(TReadWavFile& Reader, float (&In)[2]) {
  if constexpr (Format == TSampleFormat::Pcm8) Stereo ? Reader.ReadStereo8(In[0], In[1]) : Reader.ReadMono8(In[0]);
  if constexpr (Format == TSampleFormat::Pcm16) Stereo ? Reader.ReadStereo16(In[0], In[1]) : Reader.ReadMono16(In[0]);
  if constexpr (Format == TSampleFormat::Pcm24) Stereo ? Reader.ReadStereo24(In[0], In[1]) : Reader.ReadMono24(In[0]);
  if constexpr (Format == TSampleFormat::Float32)
    Stereo ? Reader.ReadStereoFloat(In[0], In[1]) : Reader.ReadMonoFloat(In[0]);
}

template <bool Stereo, TSampleFormat Format, typename TSample>
inline void Store(TWriteWavFile& Writer, const TSample (&Out)[2]) {
  if constexpr (Format == TSampleFormat::Pcm8) Stereo ? Writer.WriteBytePair(Out[0], Out[1]) : Writer.WriteByte(Out[0]);
  if constexpr (Format == TSampleFormat::Pcm16) Stereo ? Writer.WriteWordPair(Out[0], Out[1]) : Writer.WriteWord(Out[0]);
  if constexpr (Format == TSampleFormat::Pcm24) Stereo ? Writer.WriteInt24Pair(Out[0], Out[1]) : Writer.WriteInt24(Out[0]);
  if constexpr (Format == TSampleFormat::Float32)
    Stereo ? Writer.WriteFloatPair(Out[0], Out[1]) : Writer.WriteFloat(Out[0]);
}

// The loop for one format, specialised at compile time so that the frame
// loop holds no format test.
template <bool Stereo, TSampleFormat Format>
void RunPath(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
             const TFirFilter& Filter, TKestrum& Progress) {
  constexpr bool Float = Format == TSampleFormat::Float32;
  using TEntry = std::conditional_t<Float, float, std::conditional_t<Format == TSampleFormat::Pcm8, int8_t, int32_t>>;
  using TSample = std::conditional_t<Float, float, int32_t>;
  constexpr int Channels = Stereo ? 2 : 1;
  const auto History = std::make_unique<TEntry[]>(Channels * FIR_HISTORY_SIZE);  // zeroed: silence
  TEntry* const Ring[2] = {History.get(), History.get() + (Channels - 1) * FIR_HISTORY_SIZE};
  const TStoreRule Rule = StoreRule(Format, Progress.Clip);
  TOverflowCount& Count = Progress.Overflow;
  uint32_t P = 0;
  for (int32_t N = 0; N < NbEch; ++N) {
    float In[2] = {0.0f, 0.0f};
    Fetch<Stereo, Format>(Reader, In);

    float Acc[2];
    for (int C = 0; C < Channels; ++C) {
      if constexpr (Format == TSampleFormat::Pcm8)
        Ring[C][P] = Level8(In[C]);
      else if constexpr (Float)
        Ring[C][P] = In[C];
      else
        Ring[C][P] = static_cast<int32_t>(In[C]);
      Acc[C] = SumTaps(Ring[C], P, Filter);
      if (!Storable(Acc[C], Rule)) ThrowUnstorable(Acc[C], Rule, N);
    }
    // Counted once the whole frame is known to be written.
    TSample Out[2];
    for (int C = 0; C < Channels; ++C) {
      if constexpr (Float) {
        Out[C] = StoreFloat(Acc[C], Rule, Count);
      } else {
        const int32_t Level = StoreLevel(std::nearbyint(Acc[C]), Rule, Count);  // default rounding: ties to even
        // The 8-bit byte is the level + 128; unsigned so that it wraps.
        Out[C] = Format == TSampleFormat::Pcm8 ? static_cast<int32_t>(static_cast<uint32_t>(Level) + 128u) : Level;
      }
    }
    Count.Samples += Channels;
    Store<Stereo, Format>(Writer, Out);

    if (++P == FIR_HISTORY_SIZE) P = 0;
    Progress.StepProgress();
  }
}

template <bool Stereo>
void RunChannels(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch, const TFirFilter& Filter,
                 TKestrum& Progress) {
  switch (Reader.SampleFormat()) {
    case TSampleFormat::Pcm8: return RunPath<Stereo, TSampleFormat::Pcm8>(Reader, Writer, NbEch, Filter, Progress);
    case TSampleFormat::Pcm16: return RunPath<Stereo, TSampleFormat::Pcm16>(Reader, Writer, NbEch, Filter, Progress);
    case TSampleFormat::Pcm24: return RunPath<Stereo, TSampleFormat::Pcm24>(Reader, Writer, NbEch, Filter, Progress);
    case TSampleFormat::Float32:
      return RunPath<Stereo, TSampleFormat::Float32>(Reader, Writer, NbEch, Filter, Progress);
  }
}

}  // namespace

void RunReferenceKernel(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
                        const TFirFilter& Filter, TKestrum& Progress) {
  if (NbEch <= 0) return;
  if (Reader.Stereo)
    RunChannels<true>(Reader, Writer, NbEch, Filter, Progress);
  else
    RunChannels<false>(Reader, Writer, NbEch, Filter, Progress);
}

}  // namespace kestrum
