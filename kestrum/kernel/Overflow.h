// The store rules, stated here once for every kernel, engine, stream and the
// component: how a filtered sum becomes a sample.
//
// A sum is a float (the .fir arithmetic) or a double (the FFT engine's, and
// a float sum scaled to another format). A target whose format differs from
// the source's first scales the sum by the exact power of two between their
// full scales (FullScaleExponent in kestrum/audio/Format.h), in double, where it is
// exact: no finite float sum overflows or underflows there.
//
// Integer samples: the sum is rounded to the nearest integer, ties to even.
// Within the width's levels (8-bit: -128 to 127, stored as bytes 0 to 255;
// 16-bit: -32768 to 32767; 24-bit: -8388608 to 8388607; 32-bit: -2^31 to
// 2^31 - 1) it is stored as it is. Beyond them it wraps by default: its low
// 8, 16 or 24 bits are kept; with Clip it saturates to the nearest level.
// Without Clip a sum that does not round within signed 32 bits fails the run
// (EMathError), for 32-bit samples too.
// Float samples: the sum itself (a float sum bit for bit, a double one
// rounded to a 32-bit target, kept whole in a 64-bit one); full scale is -1
// to 1, beyond which it is kept as it is, or with Clip clamped to -1 or 1.
// Without Clip a sum beyond the target's float range fails the run.
// Either way a sum that is not finite fails the run, any finite one saturates
// with Clip, and every sum beyond the levels is counted (TOverflowCount).
//
// Dither, on request: a sum going to integer samples narrower than the
// source's (DitherApplies) gets triangular noise of -1 to 1 target level
// added once it is scaled, before it is rounded, checked and stored, so that
// the rounding error no longer follows the signal (TDither).
#pragma once

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "kestrum/audio/Format.h"

namespace kestrum {

// The levels a sample width holds: 8-bit samples are stored as level + 128.
struct TLevelRange {
  int32_t Min, Max;
};

// The levels of Bits-bit samples: -2^(Bits-1) to 2^(Bits-1) - 1.
constexpr TLevelRange LevelRange(int Bits) {
  return {static_cast<int32_t>(-(int64_t{1} << (Bits - 1))), static_cast<int32_t>((int64_t{1} << (Bits - 1)) - 1)};
}

// What the stores of a run met.
struct TOverflowCount {
  int Bits = 0;            // the run's sample width; 0 before the source is open
  int64_t Samples = 0;     // samples stored, every channel counted
  int64_t Overflowed = 0;  // of those, samples whose rounded sum lay outside the levels
  double Peak = 0.0;       // the largest magnitude of a rounded sum
  bool Float = false;      // float samples: full scale is 1

  // Peak as a multiple of full scale (2^(Bits-1)); 0 before the source is open.
  double PeakFullScale() const {
    return Float ? Peak : Bits > 0 ? Peak / -static_cast<double>(LevelRange(Bits).Min) : 0.0;
  }
  bool operator==(const TOverflowCount&) const = default;
  // Nothing counted yet, for a run of Format.
  static TOverflowCount For(const TAudioFormat& Format) {
    TOverflowCount Count;
    Count.Bits = Format.Bits();
    Count.Float = Format.Float();
    return Count;
  }
  void Add(const TOverflowCount& Other) {
    Samples += Other.Samples;
    Overflowed += Other.Overflowed;
    Peak = std::max(Peak, Other.Peak);
  }
};

// What a run's stores met beyond the sample width, for its host to show:
// "12 of 8000 samples exceeded the 16-bit range and wrapped around (peak
// 1.2500 x full scale)", "" when none did. Clip: the run saturated them.
std::string DescribeOverflow(const TOverflowCount& Count, bool Clip);

// The limits of the store step, in the type of the sums they apply to. For
// integer samples they apply to the rounded sum.
template <typename TSum>
struct TStoreLimits {
  TSum SumMin, SumMax;      // a sum outside these, or not a number, fails the run
  TSum LevelMin, LevelMax;  // a sum outside these is counted as overflowed
  TSum KeepMin, KeepMax;    // sums are clamped to these: the levels with Clip, else
                            // what the sums that pass never leave; an integer
                            // clamped to 2^31 or more is stored as 2^31 - 1
};

// The store rule of one target sample format. The limits are stated once, in
// double, where every one is exact (2^31 - 1 included); those for float sums
// are derived from them so that comparing a float gives the same answer as
// comparing its value in double: the fail and count limits rounded inwards
// (2^31 - 1 becomes the largest float below 2^31), the clamp limits outwards,
// a clamp to 2^31 then storing 2^31 - 1 as for a double.
struct TStoreRule {
  bool Clip = false;
  bool Float = false;  // float samples: stored unrounded
  TStoreLimits<double> Double;
  TStoreLimits<float> Single;

  template <typename TSum>
  const TStoreLimits<TSum>& Limits() const {
    if constexpr (std::is_same_v<TSum, float>)
      return Single;
    else
      return Double;
  }
};

namespace detail {

// The float nearest to X on the side of Toward (X itself when it is one).
inline float FloatToward(double X, double Toward) {
  if (X > FLT_MAX) return Toward > X ? HUGE_VALF : FLT_MAX;
  if (X < -FLT_MAX) return Toward < X ? -HUGE_VALF : -FLT_MAX;
  const float F = static_cast<float>(X);
  if (static_cast<double>(F) == X) return F;
  const bool Up = Toward > X;
  if (Up ? static_cast<double>(F) > X : static_cast<double>(F) < X) return F;
  return std::nextafter(F, Up ? HUGE_VALF : -HUGE_VALF);
}

}  // namespace detail

// The rule for a target sample format under Clip.
inline TStoreRule StoreRule(TSampleFormat Format, bool Clip) {
  TStoreRule Rule;
  Rule.Clip = Clip;
  Rule.Float = IsFloat(Format);
  TStoreLimits<double>& D = Rule.Double;
  if (Rule.Float) {
    // Any finite sum with Clip, else one within the target's float range.
    const double Max = Clip || Format == TSampleFormat::Float64 ? DBL_MAX : FLT_MAX;
    D.SumMin = -Max, D.SumMax = Max;
    D.LevelMin = -1.0, D.LevelMax = 1.0;
    D.KeepMin = Clip ? -1.0 : -Max, D.KeepMax = Clip ? 1.0 : Max;
  } else {
    // Wrapping keeps the low bits of a 32-bit integer, so its sums must round
    // within signed 32 bits; clipping takes any finite sum.
    const TLevelRange Levels = LevelRange(8 * BytesPerSample(Format));
    const TLevelRange Int32 = LevelRange(32);
    D.SumMin = Clip ? -DBL_MAX : Int32.Min, D.SumMax = Clip ? DBL_MAX : Int32.Max;
    D.LevelMin = Levels.Min, D.LevelMax = Levels.Max;
    D.KeepMin = Clip ? Levels.Min : Int32.Min, D.KeepMax = Clip ? Levels.Max : Int32.Max;
  }
  using detail::FloatToward;
  TStoreLimits<float>& F = Rule.Single;
  F.SumMin = FloatToward(D.SumMin, 0.0), F.SumMax = FloatToward(D.SumMax, 0.0);
  F.LevelMin = FloatToward(D.LevelMin, 0.0), F.LevelMax = FloatToward(D.LevelMax, 0.0);
  F.KeepMin = FloatToward(D.KeepMin, -HUGE_VAL), F.KeepMax = FloatToward(D.KeepMax, HUGE_VAL);
  return Rule;
}

// Sum rounded to the nearest integer, ties to even, in the default rounding
// mode: adding 2^23 (a float) or 2^52 (a double) with the sum's sign leaves
// no fraction bits; larger values are integers already.
template <typename TSum>
inline TSum RoundSum(TSum Sum) {
  constexpr TSum Big = std::is_same_v<TSum, float> ? TSum(0x1p23) : TSum(0x1p52);
  if (!(std::fabs(Sum) < Big)) return Sum;
  const TSum Signed = std::copysign(Big, Sum);
  return (Sum + Signed) - Signed;
}

// Whether the store step takes Sum (false for NaN).
template <typename TSum>
inline bool Storable(TSum Sum, const TStoreRule& Rule) {
  const TStoreLimits<TSum>& L = Rule.Limits<TSum>();
  const TSum Value = Rule.Float ? Sum : RoundSum(Sum);
  return Value >= L.SumMin && Value <= L.SumMax;
}

// The level stored for Rounded, an integral value from a Storable sum:
// itself within the levels; beyond them its low bits (what the writer keeps)
// or, with Clip, the nearest level. Counts it in Count, except Samples.
template <typename TSum>
inline int32_t StoreLevel(TSum Rounded, const TStoreRule& Rule, TOverflowCount& Count) {
  const TStoreLimits<TSum>& L = Rule.Limits<TSum>();
  Count.Peak = std::max(Count.Peak, static_cast<double>(std::fabs(Rounded)));
  if (Rounded < L.LevelMin || Rounded > L.LevelMax) ++Count.Overflowed;
  const TSum Kept = std::clamp(Rounded, L.KeepMin, L.KeepMax);
  return Kept >= TSum(2147483648.0) ? INT32_MAX : static_cast<int32_t>(Kept);
}

// The float sample value stored for Sum, a Storable sum: itself, or with
// Clip clamped to -1 to 1. Counts it in Count, except Samples.
template <typename TSum>
inline TSum StoreFloat(TSum Sum, const TStoreRule& Rule, TOverflowCount& Count) {
  const TStoreLimits<TSum>& L = Rule.Limits<TSum>();
  Count.Peak = std::max(Count.Peak, static_cast<double>(std::fabs(Sum)));
  if (Sum < L.LevelMin || Sum > L.LevelMax) ++Count.Overflowed;
  return std::clamp(Sum, L.KeepMin, L.KeepMax);
}

// The factor that takes a sum of Source levels to Target levels: an exact
// power of two, applied in double.
inline double LevelScale(TSampleFormat Source, TSampleFormat Target) {
  return std::ldexp(1.0, FullScaleExponent(Target) - FullScaleExponent(Source));
}

// Whether a run from Source samples to Target samples dithers when asked:
// the target is integer and holds fewer bits than the source, a float source
// counting as wider than any integer target. Elsewhere the rounding loses no
// resolution the source had, and a run gives the same bytes with or without.
constexpr bool DitherApplies(TSampleFormat Source, TSampleFormat Target) {
  return !IsFloat(Target) && (IsFloat(Source) || BytesPerSample(Target) < BytesPerSample(Source));
}

// Triangular (TPDF) dither from a seed: the noise of frame N of a run (from
// 0) and channel C is a function of the seed, N and C alone, so that the
// bytes of a run are the same whichever thread computes which frames and
// however the frames are cut into blocks, and the same run repeats byte for
// byte. Sample N * Channels + C is counter K of a splitmix64 generator keyed
// by the seed; its high and middle 24 bits are two uniform values U1, U2 in
// [0, 1) on a grid of 2^-24, and the noise is U1 - U2, from -1 + 2^-24 to
// 1 - 2^-24 (a float, exact in double), triangular about 0.
class TDither {
public:
  static constexpr uint64_t kDefaultSeed = 0;
  explicit TDither(uint64_t Seed) : FKey(Mix(Seed)) {}

  double Noise(int64_t Frame, int Channel, int Channels) const {
    const uint64_t K = static_cast<uint64_t>(Frame) * static_cast<uint64_t>(Channels) + static_cast<uint64_t>(Channel);
    const uint64_t H = Mix(FKey + (K + 1) * kGamma);
    const double U1 = static_cast<double>(H >> 40), U2 = static_cast<double>((H >> 16) & 0xFFFFFF);
    return (U1 - U2) * 0x1p-24;
  }

private:
  static constexpr uint64_t kGamma = 0x9E3779B97F4A7C15u;
  // splitmix64's finalizer: a bijection that spreads every input bit.
  static constexpr uint64_t Mix(uint64_t Z) {
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9u;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBu;
    return Z ^ (Z >> 31);
  }
  uint64_t FKey;
};

// The dither of a run from Source to Target samples asked for with Seed (none:
// not asked): none where it does not apply.
inline std::optional<TDither> DitherFor(std::optional<uint64_t> Seed, TSampleFormat Source, TSampleFormat Target) {
  if (!Seed || !DitherApplies(Source, Target)) return std::nullopt;
  return TDither(*Seed);
}

// Stores Sum, a Storable sum, as one sample of Format (the rule's) at Out
// (integers rounded to the nearest, ties to even; 8-bit: level + 128; low
// byte first); returns the byte after it. Counts it in Count, except Samples.
template <typename TSum>
inline uint8_t* StoreSample(TSum Sum, TSampleFormat Format, const TStoreRule& Rule, TOverflowCount& Count,
                            uint8_t* Out) {
  if (Format == TSampleFormat::Float32) {
    const uint32_t Bits = std::bit_cast<uint32_t>(static_cast<float>(StoreFloat(Sum, Rule, Count)));
    for (int B = 0; B < 4; ++B) *Out++ = static_cast<uint8_t>(Bits >> 8 * B);
    return Out;
  }
  if (Format == TSampleFormat::Float64) {
    const uint64_t Bits = std::bit_cast<uint64_t>(static_cast<double>(StoreFloat(Sum, Rule, Count)));
    for (int B = 0; B < 8; ++B) *Out++ = static_cast<uint8_t>(Bits >> 8 * B);
    return Out;
  }
  // The 8-bit byte is the level + 128; unsigned so that it wraps.
  const uint32_t Bits = static_cast<uint32_t>(StoreLevel(RoundSum(Sum), Rule, Count)) +
                        (Format == TSampleFormat::Pcm8 ? 128u : 0u);
  for (int B = 0, N = BytesPerSample(Format); B < N; ++B) *Out++ = static_cast<uint8_t>(Bits >> 8 * B);
  return Out;
}

}  // namespace kestrum
