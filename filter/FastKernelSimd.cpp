// The fast kernel's steps for each instruction set, chosen at run time:
// consecutive frames sit in the lanes of a vector, each lane doing exactly the
// reference's arithmetic.
//
// Highway's headers only: the steps are chosen below, not through libhwy,
// whose load-time initialisation alone costs milliseconds per process. Other
// processors than x86 get their build's baseline instruction set.
#if !defined(__x86_64__) && !defined(__i386__)
#define HWY_COMPILE_ONLY_STATIC
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "filter/FastKernelSimd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <iterator>
#include <type_traits>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "filter/FastKernel.h"

HWY_BEFORE_NAMESPACE();
namespace kestrum::fast {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_EMU128 || HWY_TARGET == HWY_SCALAR

// Highway's emulated targets clamp a double beyond float range to the largest
// float instead of giving infinity: they take the plain C++ steps.
void LoadLevels(const uint8_t* Raw, int32_t Frames, TFormat Format, int C, double* Levels) {
  LoadLevelsPortable(Raw, Frames, Format, C, Levels);
}
void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  SumTapsPortable(Levels, Count, Taps, Acc);
}
int32_t RoundSums(const float* const Acc[2], int32_t Count, TFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  return RoundSumsPortable(Acc, Count, Format, Rule, Out, Tally);
}

#else

// Frames are loaded as whole little-endian words.
static_assert(std::endian::native == std::endian::little);

template <bool Stereo, bool Bits16>
void LoadLevelsOf(const uint8_t* Raw, int32_t Frames, int C, double* Levels) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<int32_t, decltype(dd)> di;
  const int32_t N = static_cast<int32_t>(hn::Lanes(dd));
  const auto Byte = hn::Set(di, 0xFF), Silence8 = hn::Set(di, 128);
  int32_t I = 0;
  for (; I + N <= Frames; I += N) {
    hn::Vec<decltype(di)> Level;
    if constexpr (Stereo && Bits16) {  // frame: left word, then right word
      const auto Frame = hn::LoadU(di, reinterpret_cast<const int32_t*>(Raw) + I);
      Level = C == 0 ? hn::ShiftRight<16>(hn::ShiftLeft<16>(Frame)) : hn::ShiftRight<16>(Frame);
    } else if constexpr (Bits16) {
      Level = hn::PromoteTo(di, hn::LoadU(hn::Rebind<int16_t, decltype(dd)>(), reinterpret_cast<const int16_t*>(Raw) + I));
    } else if constexpr (Stereo) {  // frame: left byte, then right byte
      const auto Frame = hn::BitCast(di, hn::PromoteTo(hn::Rebind<uint32_t, decltype(dd)>(),
          hn::LoadU(hn::Rebind<uint16_t, decltype(dd)>(), reinterpret_cast<const uint16_t*>(Raw) + I)));
      Level = hn::Sub(C == 0 ? hn::And(Frame, Byte) : hn::ShiftRight<8>(Frame), Silence8);
    } else {
      Level = hn::Sub(hn::PromoteTo(di, hn::LoadU(hn::Rebind<uint8_t, decltype(dd)>(), Raw + I)), Silence8);
    }
    hn::StoreU(hn::PromoteTo(dd, Level), dd, Levels + I);
  }
  constexpr int FrameBytes = (Stereo ? 2 : 1) * (Bits16 ? 2 : 1);
  LoadLevelsPortable(Raw + I * FrameBytes, Frames - I, TFormat{Stereo, Bits16}, C, Levels + I);
}

void LoadLevels(const uint8_t* Raw, int32_t Frames, TFormat Format, int C, double* Levels) {
  if (Format.Stereo)
    Format.Bits16 ? LoadLevelsOf<true, true>(Raw, Frames, C, Levels) : LoadLevelsOf<true, false>(Raw, Frames, C, Levels);
  else
    Format.Bits16 ? LoadLevelsOf<false, true>(Raw, Frames, C, Levels) : LoadLevelsOf<false, false>(Raw, Frames, C, Levels);
}

// Taps outer, the tile's Tile accumulator vectors (of tag DA) inner: each
// tap is one unaligned load of consecutive levels per vector, and the
// accumulators stay in registers. Step(acc, levels, coef) is one tap.
template <int Tile, class DA, class TStep>
HWY_INLINE void SumTapsTiled(DA da, const double* Levels, int32_t Count, const TTaps& Taps, float* Acc,
                             TStep Step) {
  static_assert(Tile * HWY_LANES(double) <= kTilePad && Tile <= 32, "a tile must fit the padding and be unrolled");
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  const int32_t N = static_cast<int32_t>(hn::Lanes(dd));
  const int32_t NbTaps = static_cast<int32_t>(Taps.Delays.size());
  const int32_t* const Delays = Taps.Delays.data();
  const double* const Coefs = Taps.Coefs.data();
  for (int32_t J = 0; J < Count; J += Tile * N) {
    hn::Vec<DA> A[Tile];
    HWY_UNROLL(32)
    for (auto& V : A) V = hn::Zero(da);
    for (int32_t I = 0; I < NbTaps; ++I) {
      const double* const P = Levels + J - Delays[I];
      const auto Coef = hn::Set(dd, Coefs[I]);
      HWY_UNROLL(32)
      for (int U = 0; U < Tile; ++U) A[U] = Step(A[U], hn::LoadU(dd, P + U * N), Coef);
    }
    HWY_UNROLL(32)
    for (int U = 0; U < Tile; ++U) {
      if constexpr (std::is_same_v<hn::TFromD<DA>, float>)
        hn::StoreU(A[U], df, Acc + J + U * N);
      else
        hn::StoreU(hn::DemoteTo(df, A[U]), df, Acc + J + U * N);
    }
  }
}

// Float sums: float(double(acc) + level * coef), as in the reference, a
// widening and a narrowing per tap. Enough chains to hide their latency, few
// enough to stay in registers (32 vector registers with AVX-512, 16 with
// AVX2 and SSE4).
void SumTapsFloat(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  const auto Step = [dd, df](auto A, auto Level, auto Coef) HWY_ATTR {
    return hn::DemoteTo(df, hn::Add(hn::PromoteTo(dd, A), hn::Mul(Level, Coef)));
  };
  SumTapsTiled<HWY_TARGET <= HWY_AVX3 ? 16 : 12>(df, Levels, Count, Taps, Acc, Step);
}

// Split sums (see SumTaps in FastKernel.h): a multiply-add and a split per
// tap, all at full double width. Without a fused multiply-add, MulAdd is a
// product and a sum, the same value since the product is exact. The chains
// are longer (multiply-add, multiply, subtract, add): more of them, still in
// registers with AVX-512; with AVX2 a few spill, which still pays.
void SumTapsSplit(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  const hn::ScalableTag<double> dd;
  const auto Splitter = hn::Set(dd, kSplitter);
  const auto Step = [Splitter](auto A, auto Level, auto Coef) HWY_ATTR {
    const auto S = hn::MulAdd(Level, Coef, A);
    const auto G = hn::Mul(S, Splitter);
    return hn::Add(G, hn::Sub(S, G));
  };
  SumTapsTiled<HWY_TARGET <= HWY_AVX3 ? 28 : HWY_TARGET <= HWY_AVX2 ? 20 : 14>(dd, Levels, Count, Taps, Acc, Step);
}

void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  Taps.Split ? SumTapsSplit(Levels, Count, Taps, Acc) : SumTapsFloat(Levels, Count, Taps, Acc);
}

template <bool Stereo, bool Bits16>
int32_t RoundSumsOf(const float* const Acc[2], int32_t Count, const TStoreRule& Rule, uint8_t* Out,
                    TOverflowCount& Tally) {
  const hn::ScalableTag<float> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint32_t, decltype(df)> du;
  const int32_t N = static_cast<int32_t>(hn::Lanes(df));
  const auto SumMin = hn::Set(df, Rule.SumMin), SumMax = hn::Set(df, Rule.SumMax);
  const auto LevelMin = hn::Set(df, Rule.LevelMin), LevelMax = hn::Set(df, Rule.LevelMax);
  const auto KeepMin = hn::Set(df, Rule.KeepMin), KeepMax = hn::Set(df, Rule.KeepMax);
  const auto Two23 = hn::Set(df, 8388608.0f);
  const auto Low8 = hn::Set(du, 0xFF), Low16 = hn::Set(du, 0xFFFF), Silence8 = hn::Set(du, 128);
  auto Peak = hn::Zero(df);
  int64_t Overflowed = 0;
  const auto Storable = [&](hn::Vec<decltype(df)> A) HWY_ATTR { return hn::And(hn::Ge(A, SumMin), hn::Le(A, SumMax)); };
  // Adding 2^23 with the sum's sign leaves no fraction bits, so the default
  // rounding mode rounds the sum to an integer, ties to even; floats of 2^23
  // or more are integers already. The rounded sum is counted, then clamped
  // as StoreLevel does.
  const auto Store = [&](hn::Vec<decltype(df)> A) HWY_ATTR {
    const auto Big = hn::CopySign(Two23, A);
    const auto Rounded = hn::IfThenElse(hn::Lt(hn::Abs(A), Two23), hn::Sub(hn::Add(A, Big), Big), A);
    Peak = hn::Max(Peak, hn::Abs(Rounded));
    Overflowed += static_cast<int64_t>(hn::CountTrue(df, hn::Or(hn::Lt(Rounded, LevelMin), hn::Gt(Rounded, LevelMax))));
    return hn::BitCast(du, hn::ConvertTo(di, hn::Min(hn::Max(Rounded, KeepMin), KeepMax)));
  };
  int32_t J = 0;
  for (; J + N <= Count; J += N) {
    const auto A0 = hn::LoadU(df, Acc[0] + J);
    const auto A1 = Stereo ? hn::LoadU(df, Acc[1] + J) : A0;
    if (!hn::AllTrue(df, hn::And(Storable(A0), Storable(A1)))) break;  // the frame-by-frame loop finds the first failing one
    const auto S0 = Store(A0);
    const auto S1 = Stereo ? Store(A1) : S0;
    if constexpr (Stereo && Bits16) {
      hn::StoreU(hn::Or(hn::And(S0, Low16), hn::ShiftLeft<16>(S1)), du, reinterpret_cast<uint32_t*>(Out) + J);
    } else if constexpr (Bits16) {
      const hn::Rebind<uint16_t, decltype(df)> d16;
      hn::StoreU(hn::TruncateTo(d16, S0), d16, reinterpret_cast<uint16_t*>(Out) + J);
    } else if constexpr (Stereo) {
      const hn::Rebind<uint16_t, decltype(df)> d16;
      const auto Frame = hn::Or(hn::And(hn::Add(S0, Silence8), Low8), hn::ShiftLeft<8>(hn::Add(S1, Silence8)));
      hn::StoreU(hn::TruncateTo(d16, Frame), d16, reinterpret_cast<uint16_t*>(Out) + J);
    } else {
      const hn::Rebind<uint8_t, decltype(df)> d8;
      hn::StoreU(hn::TruncateTo(d8, hn::Add(S0, Silence8)), d8, Out + J);
    }
  }
  Tally.Overflowed += Overflowed;
  Tally.Peak = std::max(Tally.Peak, hn::GetLane(hn::MaxOfLanes(df, Peak)));
  constexpr int FrameBytes = (Stereo ? 2 : 1) * (Bits16 ? 2 : 1);
  const float* const Rest[2] = {Acc[0] + J, Stereo ? Acc[1] + J : nullptr};
  return J + RoundSumsPortable(Rest, Count - J, TFormat{Stereo, Bits16}, Rule, Out + J * FrameBytes, Tally);
}

int32_t RoundSums(const float* const Acc[2], int32_t Count, TFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  if (Format.Stereo)
    return Format.Bits16 ? RoundSumsOf<true, true>(Acc, Count, Rule, Out, Tally)
                         : RoundSumsOf<true, false>(Acc, Count, Rule, Out, Tally);
  return Format.Bits16 ? RoundSumsOf<false, true>(Acc, Count, Rule, Out, Tally)
                       : RoundSumsOf<false, false>(Acc, Count, Rule, Out, Tally);
}

#endif

}  // namespace HWY_NAMESPACE
}  // namespace kestrum::fast
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kestrum::fast {
namespace {

// The steps built for one instruction set, and whether this processor has
// every extension the build of that set may use.
struct TTarget {
  const char* Name;
  bool (*Supported)();
  decltype(&HWY_NAMESPACE::LoadLevels) LoadLevels;
  decltype(&HWY_NAMESPACE::SumTaps) SumTaps;
  decltype(&HWY_NAMESPACE::RoundSums) RoundSums;
};

#if HWY_ARCH_X86
// Asked of cpuid itself: clang before 16 does not know "f16c" as a feature name.
bool HasF16c() {
  unsigned A = 0, B = 0, C = 0, D = 0;
  return __get_cpuid(1, &A, &B, &C, &D) && (C & bit_F16C) != 0;
}
bool HasSsse3() { return __builtin_cpu_supports("ssse3"); }
bool HasSse4() {
  return HasSsse3() && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
         __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
}
bool HasAvx2() {
  return HasSse4() && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
         HasF16c();
}
bool HasAvx3() {
  return HasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#endif

// Widest first; the last, the build's baseline, runs everywhere.
const TTarget kTargets[] = {
#if HWY_TARGETS & HWY_AVX3 & ~HWY_STATIC_TARGET
    {"AVX3", HasAvx3, N_AVX3::LoadLevels, N_AVX3::SumTaps, N_AVX3::RoundSums},
#endif
#if HWY_TARGETS & HWY_AVX2 & ~HWY_STATIC_TARGET
    {"AVX2", HasAvx2, N_AVX2::LoadLevels, N_AVX2::SumTaps, N_AVX2::RoundSums},
#endif
#if HWY_TARGETS & HWY_SSE4 & ~HWY_STATIC_TARGET
    {"SSE4", HasSse4, N_SSE4::LoadLevels, N_SSE4::SumTaps, N_SSE4::RoundSums},
#endif
#if HWY_TARGETS & HWY_SSSE3 & ~HWY_STATIC_TARGET
    {"SSSE3", HasSsse3, N_SSSE3::LoadLevels, N_SSSE3::SumTaps, N_SSSE3::RoundSums},
#endif
    {hwy::TargetName(HWY_STATIC_TARGET), [] { return true; }, HWY_NAMESPACE::LoadLevels,
     HWY_NAMESPACE::SumTaps, HWY_NAMESPACE::RoundSums},
};

std::atomic<const TTarget*> Forced{nullptr};  // set by tests and benchmarks only

const TTarget& Chosen() {
  static const TTarget& Widest = *std::find_if(std::begin(kTargets), std::end(kTargets),
                                               [](const TTarget& T) { return T.Supported(); });
  const TTarget* const Target = Forced.load(std::memory_order_relaxed);
  return Target ? *Target : Widest;
}

}  // namespace

void LoadLevels(const uint8_t* Raw, int32_t Frames, TFormat Format, int C, double* Levels) {
  Chosen().LoadLevels(Raw, Frames, Format, C, Levels);
}

void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  Chosen().SumTaps(Levels, Count, Taps, Acc);
}

int32_t RoundSums(const float* const Acc[2], int32_t Count, TFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  return Chosen().RoundSums(Acc, Count, Format, Rule, Out, Tally);
}

std::vector<std::string> SimdTargets() {
  std::vector<std::string> Names;
  for (const TTarget& Target : kTargets)
    if (Target.Supported()) Names.push_back(Target.Name);
  return Names;
}

void ForceSimdTarget(const std::string& Name) {
  const TTarget* Target = nullptr;
  for (const TTarget& T : kTargets)
    if (Name == T.Name && T.Supported()) Target = &T;
  Forced.store(Target, std::memory_order_relaxed);
}

}  // namespace kestrum::fast
#endif
