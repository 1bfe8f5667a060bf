// The reference kernel: one frame at a time, exactly as the arithmetic is
// defined. Faster kernels are tested against it byte for byte.
#include <charconv>
#include <cmath>
#include <memory>
#include <string>

#include "base/Errors.h"
#include "filter/Kernel.h"
#include "filter/Kestrum.h"

namespace kestrum {

void ThrowUnstorable(float Acc, const TStoreRule& Rule, int64_t Frame) {
  char Sum[32];
  *std::to_chars(Sum, Sum + sizeof Sum - 1, Acc).ptr = '\0';  // shortest exact form
  throw EMathError("arithmetic overflow at frame " + std::to_string(Frame) + ": the filtered sum " + Sum +
                   (Rule.Clip ? " is not a finite number" : " does not fit a 32-bit integer"));
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

// The loop for one format, specialised at compile time so that the frame
// loop holds no format test.
template <bool Stereo, bool Bits16>
void RunPath(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
             const TFirFilter& Filter, TKestrum& Progress) {
  using TEntry = std::conditional_t<Bits16, int32_t, int8_t>;
  constexpr int Channels = Stereo ? 2 : 1;
  const auto History = std::make_unique<TEntry[]>(Channels * FIR_HISTORY_SIZE);  // zeroed: silence
  TEntry* const Ring[2] = {History.get(), History.get() + (Channels - 1) * FIR_HISTORY_SIZE};
  const TStoreRule Rule = StoreRule(Bits16 ? 16 : 8, Progress.Clip);
  TOverflowCount& Count = Progress.Overflow;
  uint32_t P = 0;
  for (int32_t N = 0; N < NbEch; ++N) {
    float In[2] = {0.0f, 0.0f};
    if constexpr (Stereo && Bits16) Reader.ReadStereo16(In[0], In[1]);
    if constexpr (Stereo && !Bits16) Reader.ReadStereo8(In[0], In[1]);
    if constexpr (!Stereo && Bits16) Reader.ReadMono16(In[0]);
    if constexpr (!Stereo && !Bits16) Reader.ReadMono8(In[0]);

    float Rounded[2];
    for (int C = 0; C < Channels; ++C) {
      if constexpr (Bits16)
        Ring[C][P] = static_cast<int32_t>(In[C]);
      else
        Ring[C][P] = Level8(In[C]);
      const float Acc = SumTaps(Ring[C], P, Filter);
      if (!Storable(Acc, Rule)) ThrowUnstorable(Acc, Rule, N);
      Rounded[C] = std::nearbyint(Acc);  // default rounding: ties to even
    }
    // Counted once the whole frame is known to be written.
    int32_t Out[2];
    for (int C = 0; C < Channels; ++C) {
      const int32_t Level = StoreLevel(Rounded[C], Rule, Count);
      // The 8-bit byte is the level + 128; unsigned so that it wraps.
      Out[C] = Bits16 ? Level : static_cast<int32_t>(static_cast<uint32_t>(Level) + 128u);
    }
    Count.Samples += Channels;

    if constexpr (Stereo && Bits16) Writer.WriteWordPair(Out[0], Out[1]);
    if constexpr (Stereo && !Bits16) Writer.WriteBytePair(Out[0], Out[1]);
    if constexpr (!Stereo && Bits16) Writer.WriteWord(Out[0]);
    if constexpr (!Stereo && !Bits16) Writer.WriteByte(Out[0]);

    if (++P == FIR_HISTORY_SIZE) P = 0;
    Progress.StepProgress();
  }
}

}  // namespace

void RunReferenceKernel(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
                        const TFirFilter& Filter, TKestrum& Progress) {
  if (NbEch <= 0) return;
  if (Reader.Stereo) {
    if (Reader.Bits16)
      RunPath<true, true>(Reader, Writer, NbEch, Filter, Progress);
    else
      RunPath<true, false>(Reader, Writer, NbEch, Filter, Progress);
  } else {
    if (Reader.Bits16)
      RunPath<false, true>(Reader, Writer, NbEch, Filter, Progress);
    else
      RunPath<false, false>(Reader, Writer, NbEch, Filter, Progress);
  }
}

}  // namespace kestrum
