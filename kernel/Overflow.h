// The store rules, stated here once for every kernel, the stream and the
// component: how a filtered sum becomes a sample.
//
// Integer samples: the sum is rounded to the nearest integer, ties to even.
// Within the width's levels (8-bit: -128 to 127, stored as bytes 0 to 255;
// 16-bit: -32768 to 32767; 24-bit: -8388608 to 8388607) it is stored as it
// is. Beyond them it wraps by default: its low 8, 16 or 24 bits are kept;
// with Clip it saturates to the nearest level. Without Clip a sum that does
// not round within signed 32 bits fails the run (EMathError).
// Float samples: the sum itself, bit for bit; full scale is -1 to 1, beyond
// which it is kept as it is, or with Clip clamped to -1 or 1.
// Either way a sum that is not finite fails the run, and every sum beyond the
// levels is counted (TOverflowCount).
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "wav/Format.h"

namespace kestrum {

// The levels a sample width holds: 8-bit samples are stored as level + 128.
struct TLevelRange {
  int32_t Min, Max;
};

// The levels of Bits-bit samples: -2^(Bits-1) to 2^(Bits-1) - 1.
constexpr TLevelRange LevelRange(int Bits) {
  return {-(int32_t{1} << (Bits - 1)), (int32_t{1} << (Bits - 1)) - 1};
}

// What the stores of a run met.
struct TOverflowCount {
  int Bits = 0;            // the run's sample width; 0 before the source is open
  int64_t Samples = 0;     // samples stored, every channel counted
  int64_t Overflowed = 0;  // of those, samples whose rounded sum lay outside the levels
  float Peak = 0.0f;       // the largest magnitude of a rounded sum
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

// The limits of the store step for one sample width, as floats so that every
// kernel applies them the same way.
struct TStoreRule {
  bool Clip = false;
  bool Float = false;        // float samples: stored unrounded
  float SumMin, SumMax;      // a sum outside these, or not a number, fails the run
  float LevelMin, LevelMax;  // a rounded sum outside these is counted as overflowed
  float KeepMin, KeepMax;    // rounded sums are clamped to these: the levels with Clip,
                             // else signed 32 bits, which the sums that pass never leave
};

// Wrapping keeps the low bits of a 32-bit integer, so its sums must round
// within signed 32 bits; clipping takes any finite sum.
inline TStoreRule StoreRule(int Bits, bool Clip) {
  const TLevelRange Levels = LevelRange(Bits);
  const float Below31 = 2147483520.0f;  // the largest float below 2^31
  TStoreRule Rule;
  Rule.Clip = Clip;
  Rule.SumMin = Clip ? -FLT_MAX : -2147483648.0f;
  Rule.SumMax = Clip ? FLT_MAX : Below31;
  Rule.LevelMin = static_cast<float>(Levels.Min);
  Rule.LevelMax = static_cast<float>(Levels.Max);
  Rule.KeepMin = Clip ? Rule.LevelMin : -2147483648.0f;
  Rule.KeepMax = Clip ? Rule.LevelMax : Below31;
  return Rule;
}

// The rule for a sample format: integers as above; float takes any finite
// sum, its levels being -1 to 1, to which Clip clamps.
inline TStoreRule StoreRule(TSampleFormat Format, bool Clip) {
  if (Format != TSampleFormat::Float32) return StoreRule(8 * BytesPerSample(Format), Clip);
  TStoreRule Rule;
  Rule.Clip = Clip;
  Rule.Float = true;
  Rule.SumMin = Rule.KeepMin = -FLT_MAX;
  Rule.SumMax = Rule.KeepMax = FLT_MAX;
  Rule.LevelMin = -1.0f;
  Rule.LevelMax = 1.0f;
  if (Clip) Rule.KeepMin = Rule.LevelMin, Rule.KeepMax = Rule.LevelMax;
  return Rule;
}

// Whether the store step takes the sum Acc (false for NaN).
inline bool Storable(float Acc, const TStoreRule& Rule) { return Acc >= Rule.SumMin && Acc <= Rule.SumMax; }

// The level stored for Rounded, an integral float from a Storable sum: itself
// within the levels; beyond them its low bits (what the writer keeps) or, with
// Clip, the nearest level. Counts it in Count, except Samples.
inline int32_t StoreLevel(float Rounded, const TStoreRule& Rule, TOverflowCount& Count) {
  Count.Peak = std::max(Count.Peak, std::fabs(Rounded));
  if (Rounded < Rule.LevelMin || Rounded > Rule.LevelMax) ++Count.Overflowed;
  return static_cast<int32_t>(std::clamp(Rounded, Rule.KeepMin, Rule.KeepMax));
}

// The float sample stored for Acc, a Storable sum: itself, bit for bit, or
// with Clip clamped to -1 to 1. Counts it in Count, except Samples.
inline float StoreFloat(float Acc, const TStoreRule& Rule, TOverflowCount& Count) {
  Count.Peak = std::max(Count.Peak, std::fabs(Acc));
  if (Acc < Rule.LevelMin || Acc > Rule.LevelMax) ++Count.Overflowed;
  return std::clamp(Acc, Rule.KeepMin, Rule.KeepMax);
}

}  // namespace kestrum
