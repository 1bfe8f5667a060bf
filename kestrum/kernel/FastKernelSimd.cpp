// The fast kernel's steps for each instruction set, chosen at run time:
// consecutive frames sit in the lanes of a vector, each lane doing exactly the
// reference's arithmetic.
//
// Highway's headers only: the steps are chosen below (kTargets), not with
// HWY_EXPORT and HWY_DYNAMIC_DISPATCH, because those need libhwy, whose
// load-time initialisation alone costs milliseconds per process, more than a
// short file's whole run. So a new instruction set needs a line in kTargets.
// Other processors than x86 get their build's baseline instruction set.
#if !defined(__x86_64__) && !defined(__i386__)
#define HWY_COMPILE_ONLY_STATIC
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kestrum/kernel/FastKernelSimd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <vector>

#include "kestrum/base/SimdTargets.h"
#include "kestrum/kernel/FastKernel.h"

HWY_BEFORE_NAMESPACE();
namespace kestrum::fast {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_EMU128 || HWY_TARGET == HWY_SCALAR

// Highway's emulated targets clamp a double beyond float range to the largest
// float instead of giving infinity: they take the plain C++ steps.
void LoadLevels(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels) {
  LoadLevelsPortable(Raw, Frames, Format, C, Levels);
}
void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  SumTapsPortable(Levels, Count, Taps, Acc);
}
int32_t RoundSums(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  return RoundSumsPortable(Acc, Count, Format, Rule, Out, Tally);
}
int32_t RoundDoubleSums(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                        uint8_t* Out, TOverflowCount& Tally) {
  return RoundSumsPortable(Sums, Count, Format, Rule, Out, Tally);
}

#else

// Frames are loaded as whole little-endian words.
static_assert(std::endian::native == std::endian::little);

using F = TSampleFormat;

// Levels of 24-bit samples, four per shuffle: it moves each sample's
// three bytes from 128-bit loads to the top of a 32-bit lane, and an
// arithmetic shift sign-extends them. (A gather would be simpler, but is slow
// where microcode guards it.) Returns the frames done; a load reaches past
// its samples, so the last two frames are always left over.
template <bool Stereo>
int32_t LoadLevels24(const uint8_t* Raw, int32_t Frames, int C, double* Levels) {
  const hn::Full128<uint8_t> d8;
  const hn::Full128<int32_t> d32;
  const hn::Full64<int32_t> dHalf;
  const hn::Full128<double> d64;
  // Mono: samples I to I + 3 lie in the load at frame I. Stereo: frames I and
  // I + 1 in the load at frame I, frames I + 2 and I + 3 in the next one, 12
  // bytes on. A lane's index bytes: 0x80 (a zero byte), then the sample's.
  HWY_ALIGN uint8_t Index[2][16];
  for (int J = 0; J < 4; ++J) {
    const int Load = Stereo && J >= 2 ? 1 : 0;
    const int At = Stereo ? 6 * (J % 2) + 3 * C : 3 * J;
    for (int B = 0; B < 4; ++B) {
      Index[Load][4 * J + B] = B == 0 ? 0x80 : static_cast<uint8_t>(At + B - 1);
      Index[1 - Load][4 * J + B] = 0x80;
    }
  }
  const auto First = hn::Load(d8, Index[0]), Second = hn::Load(d8, Index[1]);
  constexpr int FrameBytes = Stereo ? 6 : 3;
  // The levels of frames I to I + 3.
  const auto Four = [&](int32_t I) HWY_ATTR {
    const uint8_t* const P = Raw + I * FrameBytes;
    auto Bytes = hn::TableLookupBytesOr0(hn::LoadU(d8, P), First);
    if constexpr (Stereo) Bytes = hn::Or(Bytes, hn::TableLookupBytesOr0(hn::LoadU(d8, P + 12), Second));
    return hn::ShiftRight<8>(hn::BitCast(d32, Bytes));
  };
  int32_t I = 0;
  const hn::ScalableTag<double> dd;
  const hn::Rebind<int32_t, decltype(dd)> di;
  if constexpr (HWY_TARGET <= HWY_AVX3) {  // eight doubles a vector
    for (; I + 10 <= Frames; I += 8) hn::StoreU(hn::PromoteTo(dd, hn::Combine(di, Four(I + 4), Four(I))), dd, Levels + I);
  } else if constexpr (HWY_TARGET <= HWY_AVX2) {  // four
    for (; I + 6 <= Frames; I += 4) hn::StoreU(hn::PromoteTo(dd, Four(I)), dd, Levels + I);
  } else {  // two
    for (; I + 6 <= Frames; I += 4) {
      const auto Level = Four(I);
      hn::StoreU(hn::PromoteTo(d64, hn::LowerHalf(dHalf, Level)), d64, Levels + I);
      hn::StoreU(hn::PromoteTo(d64, hn::UpperHalf(dHalf, Level)), d64, Levels + I + 2);
    }
  }
  return I;
}

template <bool Stereo, TSampleFormat Samples>
void LoadLevelsOf(const uint8_t* Raw, int32_t Frames, int C, double* Levels) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<int32_t, decltype(dd)> di;
  const hn::Rebind<float, decltype(dd)> df;
  const int32_t N = static_cast<int32_t>(hn::Lanes(dd));
  constexpr int FrameBytes = (Stereo ? 2 : 1) * BytesPerSample(Samples);
  const auto Byte = hn::Set(di, 0xFF), Silence8 = hn::Set(di, 128);
  int32_t I = 0;
  if constexpr (Samples == F::Pcm24) I = LoadLevels24<Stereo>(Raw, Frames, C, Levels);
  for (; Samples != F::Pcm24 && I + N <= Frames; I += N) {
    if constexpr (Samples == F::Float32) {
      hn::Vec<decltype(df)> Sample;
      if constexpr (Stereo) {  // frame: left float, then right float
        const hn::Rebind<uint64_t, decltype(dd)> d64;
        const auto Frame = hn::LoadU(d64, reinterpret_cast<const uint64_t*>(Raw) + I);
        const hn::Rebind<uint32_t, decltype(dd)> du;
        Sample = hn::BitCast(df, hn::TruncateTo(du, C == 0 ? Frame : hn::ShiftRight<32>(Frame)));
      } else {
        Sample = hn::LoadU(df, reinterpret_cast<const float*>(Raw) + I);
      }
      hn::StoreU(hn::PromoteTo(dd, Sample), dd, Levels + I);
      continue;
    }
    hn::Vec<decltype(di)> Level;
    if constexpr (Stereo && Samples == F::Pcm16) {  // frame: left word, then right word
      const auto Frame = hn::LoadU(di, reinterpret_cast<const int32_t*>(Raw) + I);
      Level = C == 0 ? hn::ShiftRight<16>(hn::ShiftLeft<16>(Frame)) : hn::ShiftRight<16>(Frame);
    } else if constexpr (Samples == F::Pcm16) {
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
  LoadLevelsPortable(Raw + I * FrameBytes, Frames - I, TAudioFormat{Samples, Stereo ? 2 : 1, 0}, C, Levels + I);
}

// Calls Step<Stereo, Samples> for the format.
template <template <bool, TSampleFormat> class TStep, typename... TArgs>
auto ForFormat(TAudioFormat Format, TArgs... Args) {
  const auto Go = [&](auto Stereo) {
    switch (Format.Samples) {
      case F::Pcm8: return TStep<decltype(Stereo)::value, F::Pcm8>::Run(Args...);
      case F::Pcm16: return TStep<decltype(Stereo)::value, F::Pcm16>::Run(Args...);
      case F::Pcm24: return TStep<decltype(Stereo)::value, F::Pcm24>::Run(Args...);
      case F::Float32: case F::Pcm32: case F::Float64: break;  // the last two never come here
    }
    return TStep<decltype(Stereo)::value, F::Float32>::Run(Args...);
  };
  return Format.Stereo() ? Go(std::true_type{}) : Go(std::false_type{});
}

template <bool Stereo, TSampleFormat Samples>
struct TLoadLevels {
  static void Run(const uint8_t* Raw, int32_t Frames, int C, double* Levels) {
    LoadLevelsOf<Stereo, Samples>(Raw, Frames, C, Levels);
  }
};

void LoadLevels(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels) {
  ForFormat<TLoadLevels>(Format, Raw, Frames, C, Levels);
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
  // The taps go in runs of at most kStopPollWork products per tile, the
  // stop request polled after that many: a long filter's tile polls within
  // its taps, a short filter's tiles poll every so many tiles.
  const int32_t Run = static_cast<int32_t>(std::max<int64_t>(1, kStopPollWork / (Tile * N)));
  TStopPoll Poll;
  for (int32_t J = 0; J < Count; J += Tile * N) {
    hn::Vec<DA> A[Tile];
    HWY_UNROLL(32)
    for (auto& V : A) V = hn::Zero(da);
    for (int32_t From = 0; From < NbTaps;) {
      const int32_t To = From + std::min(Run, NbTaps - From);
      for (int32_t I = From; I < To; ++I) {
        const double* const P = Levels + J - Delays[I];
        const auto Coef = hn::Set(dd, Coefs[I]);
        HWY_UNROLL(32)
        for (int U = 0; U < Tile; ++U) A[U] = Step(A[U], hn::LoadU(dd, P + U * N), Coef);
      }
      Poll.Done(int64_t{To - From} * (Tile * N));
      From = To;
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

template <bool Stereo, TSampleFormat Samples>
int32_t RoundSumsOf(const float* const* Acc, int32_t Count, const TStoreRule& Rule, uint8_t* Out,
                    TOverflowCount& Tally) {
  constexpr int FrameBytes = (Stereo ? 2 : 1) * BytesPerSample(Samples);
  if constexpr (Samples == F::Float32) {
    // The sums themselves: counted, clamped (to -1 to 1 with Clip, else to
    // the float range, which leaves every storable sum as it is) and copied.
    const hn::ScalableTag<float> df;
    const int32_t N = static_cast<int32_t>(hn::Lanes(df));
    const TStoreLimits<float>& L = Rule.Single;
    const auto SumMin = hn::Set(df, L.SumMin), SumMax = hn::Set(df, L.SumMax);
    const auto LevelMin = hn::Set(df, L.LevelMin), LevelMax = hn::Set(df, L.LevelMax);
    const auto KeepMin = hn::Set(df, L.KeepMin), KeepMax = hn::Set(df, L.KeepMax);
    auto Peak = hn::Zero(df);
    int64_t Overflowed = 0;
    const auto Store = [&](hn::Vec<decltype(df)> A) HWY_ATTR {
      Peak = hn::Max(Peak, hn::Abs(A));
      Overflowed += static_cast<int64_t>(hn::CountTrue(df, hn::Or(hn::Lt(A, LevelMin), hn::Gt(A, LevelMax))));
      return hn::Min(hn::Max(A, KeepMin), KeepMax);
    };
    int32_t J = 0;
    for (; J + N <= Count; J += N) {
      const auto A0 = hn::LoadU(df, Acc[0] + J);
      const auto A1 = Stereo ? hn::LoadU(df, Acc[1] + J) : A0;
      const auto Ok = hn::And(hn::And(hn::Ge(A0, SumMin), hn::Le(A0, SumMax)), hn::And(hn::Ge(A1, SumMin), hn::Le(A1, SumMax)));
      if (!hn::AllTrue(df, Ok)) break;  // the frame-by-frame loop finds the first failing one
      float* const To = reinterpret_cast<float*>(Out) + J * (Stereo ? 2 : 1);
      if constexpr (Stereo)
        hn::StoreInterleaved2(Store(A0), Store(A1), df, To);
      else
        hn::StoreU(Store(A0), df, To);
    }
    Tally.Overflowed += Overflowed;
    Tally.Peak = std::max(Tally.Peak, static_cast<double>(hn::GetLane(hn::MaxOfLanes(df, Peak))));
    const float* const Rest[2] = {Acc[0] + J, Stereo ? Acc[1] + J : nullptr};
    return J + RoundSumsPortable(Rest, Count - J, TAudioFormat{Samples, Stereo ? 2 : 1, 0}, Rule, Out + J * FrameBytes, Tally);
  } else {
    const hn::ScalableTag<float> df;
    const hn::Rebind<int32_t, decltype(df)> di;
    const hn::Rebind<uint32_t, decltype(df)> du;
    const int32_t N = static_cast<int32_t>(hn::Lanes(df));
    const TStoreLimits<float>& L = Rule.Single;
    const auto SumMin = hn::Set(df, L.SumMin), SumMax = hn::Set(df, L.SumMax);
    const auto LevelMin = hn::Set(df, L.LevelMin), LevelMax = hn::Set(df, L.LevelMax);
    const auto KeepMin = hn::Set(df, L.KeepMin), KeepMax = hn::Set(df, L.KeepMax);
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
    // 24-bit samples go out as 16-byte stores of 12 bytes each, the last
    // reaching 4 bytes past: the last two frames are left to the portable loop.
    const int32_t Whole = Samples == F::Pcm24 ? Count - 2 : Count;
    int32_t J = 0;
    for (; J + N <= Whole; J += N) {
      const auto A0 = hn::LoadU(df, Acc[0] + J);
      const auto A1 = Stereo ? hn::LoadU(df, Acc[1] + J) : A0;
      if (!hn::AllTrue(df, hn::And(Storable(A0), Storable(A1)))) break;  // the frame-by-frame loop finds the first failing one
      const auto S0 = Store(A0);
      const auto S1 = Stereo ? Store(A1) : S0;
      if constexpr (Samples == F::Pcm24) {
        // Four samples at a time, their low three bytes packed by a shuffle;
        // stereo samples interleaved first, two frames at a time.
        HWY_ALIGN uint32_t Lanes[2][HWY_LANES(float)];
        hn::Store(S0, du, Lanes[0]);
        hn::Store(S1, du, Lanes[1]);
        const hn::Full128<uint32_t> d4;
        const hn::Full128<uint8_t> d16;
        HWY_ALIGN static constexpr uint8_t kPack[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0};
        const auto Pack = hn::Load(d16, kPack);
        const auto Put = [&](hn::Vec<decltype(d4)> V, uint8_t* To) HWY_ATTR {
          hn::StoreU(hn::TableLookupBytes(hn::BitCast(d16, V), Pack), d16, To);
        };
        uint8_t* P = Out + J * FrameBytes;
        for (int32_t L = 0; L < N; L += 4, P += 4 * FrameBytes) {
          const auto First = hn::Load(d4, Lanes[0] + L);
          if constexpr (Stereo) {
            const auto Second = hn::Load(d4, Lanes[1] + L);
            Put(hn::InterleaveLower(d4, First, Second), P);
            Put(hn::InterleaveUpper(d4, First, Second), P + 12);
          } else {
            Put(First, P);
          }
        }
      } else if constexpr (Stereo && Samples == F::Pcm16) {
        hn::StoreU(hn::Or(hn::And(S0, Low16), hn::ShiftLeft<16>(S1)), du, reinterpret_cast<uint32_t*>(Out) + J);
      } else if constexpr (Samples == F::Pcm16) {
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
    Tally.Peak = std::max(Tally.Peak, static_cast<double>(hn::GetLane(hn::MaxOfLanes(df, Peak))));
    const float* const Rest[2] = {Acc[0] + J, Stereo ? Acc[1] + J : nullptr};
    return J + RoundSumsPortable(Rest, Count - J, TAudioFormat{Samples, Stereo ? 2 : 1, 0}, Rule, Out + J * FrameBytes, Tally);
  }
}

template <bool Stereo, TSampleFormat Samples>
struct TRoundSums {
  static int32_t Run(const float* const* Acc, int32_t Count, const TStoreRule* Rule, uint8_t* Out,
                     TOverflowCount* Tally) {
    return RoundSumsOf<Stereo, Samples>(Acc, Count, *Rule, Out, *Tally);
  }
};

int32_t RoundSums(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  return ForFormat<TRoundSums>(Format, Acc, Count, &Rule, Out, &Tally);
}

// Double sums of integer samples (the FFT engine's), a vector of frames at a
// time: each channel's sums rounded as RoundSum does, checked, counted and
// clamped as StoreLevel does, their low bytes written by a plain loop. From
// the first vector with a sum that may not be stored, and for the tail, the
// portable steps, which stop at that frame.
int32_t RoundDoubleSums(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                        uint8_t* Out, TOverflowCount& Tally) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<int32_t, decltype(dd)> di;
  using V = hn::Vec<decltype(dd)>;
  const int32_t N = static_cast<int32_t>(hn::Lanes(dd));
  const int Channels = Format.Channels, Bytes = BytesPerSample(Format.Samples);
  const size_t FrameBytes = static_cast<size_t>(Format.FrameBytes());
  const uint32_t Offset = Format.Samples == F::Pcm8 ? 128u : 0u;
  const TStoreLimits<double>& L = Rule.Double;
  const V Big = hn::Set(dd, 0x1p52), SumMin = hn::Set(dd, L.SumMin), SumMax = hn::Set(dd, L.SumMax);
  const V LevelMin = hn::Set(dd, L.LevelMin), LevelMax = hn::Set(dd, L.LevelMax);
  const V KeepMin = hn::Set(dd, L.KeepMin), KeepMax = hn::Set(dd, L.KeepMax);
  const auto Round = [&](V Sum) HWY_ATTR {
    const V Signed = hn::CopySign(Big, Sum);
    return hn::IfThenElse(hn::Lt(hn::Abs(Sum), Big), hn::Sub(hn::Add(Sum, Signed), Signed), Sum);
  };
  V Peak = hn::Zero(dd);
  int64_t Overflowed = 0;
  HWY_ALIGN int32_t Levels[hn::MaxLanes(di)];
  int32_t J = 0;
  for (; J + N <= Count; J += N) {
    bool Ok = true;
    for (int C = 0; C < Channels && Ok; ++C) {
      const V R = Round(hn::LoadU(dd, Sums[C] + J));
      Ok = hn::AllTrue(dd, hn::And(hn::Ge(R, SumMin), hn::Le(R, SumMax)));
    }
    if (!Ok) break;
    for (int C = 0; C < Channels; ++C) {
      const V R = Round(hn::LoadU(dd, Sums[C] + J));
      Peak = hn::Max(Peak, hn::Abs(R));
      Overflowed += static_cast<int64_t>(hn::CountTrue(dd, hn::Or(hn::Lt(R, LevelMin), hn::Gt(R, LevelMax))));
      hn::Store(hn::DemoteTo(di, hn::Min(hn::Max(R, KeepMin), KeepMax)), di, Levels);
      uint8_t* To = Out + size_t(J) * FrameBytes + size_t(C * Bytes);
      for (int32_t I = 0; I < N; ++I, To += FrameBytes) {
        const uint32_t Word = static_cast<uint32_t>(Levels[I]) + Offset;
        for (int B = 0; B < Bytes; ++B) To[B] = static_cast<uint8_t>(Word >> 8 * B);
      }
    }
  }
  Tally.Overflowed += Overflowed;
  Tally.Peak = std::max(Tally.Peak, hn::GetLane(hn::MaxOfLanes(dd, Peak)));
  const double* Rest[MAX_CHANNELS];
  for (int C = 0; C < Channels; ++C) Rest[C] = Sums[C] + J;
  return J + RoundSumsPortable(Rest, Count - J, Format, Rule, Out + size_t(J) * FrameBytes, Tally);
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
  decltype(&HWY_NAMESPACE::RoundDoubleSums) RoundDoubleSums;
};


// Widest first; the last, the build's baseline, runs everywhere.
const TTarget kTargets[] = {
#if HWY_TARGETS & HWY_AVX3 & ~HWY_STATIC_TARGET
    {"AVX3", simd::HasAvx3, N_AVX3::LoadLevels, N_AVX3::SumTaps, N_AVX3::RoundSums,
     N_AVX3::RoundDoubleSums},
#endif
#if HWY_TARGETS & HWY_AVX2 & ~HWY_STATIC_TARGET
    {"AVX2", simd::HasAvx2, N_AVX2::LoadLevels, N_AVX2::SumTaps, N_AVX2::RoundSums,
     N_AVX2::RoundDoubleSums},
#endif
#if HWY_TARGETS & HWY_SSE4 & ~HWY_STATIC_TARGET
    {"SSE4", simd::HasSse4, N_SSE4::LoadLevels, N_SSE4::SumTaps, N_SSE4::RoundSums,
     N_SSE4::RoundDoubleSums},
#endif
#if HWY_TARGETS & HWY_SSSE3 & ~HWY_STATIC_TARGET
    {"SSSE3", simd::HasSsse3, N_SSSE3::LoadLevels, N_SSSE3::SumTaps, N_SSSE3::RoundSums,
     N_SSSE3::RoundDoubleSums},
#endif
    {hwy::TargetName(HWY_STATIC_TARGET), [] { return true; }, HWY_NAMESPACE::LoadLevels,
     HWY_NAMESPACE::SumTaps, HWY_NAMESPACE::RoundSums, HWY_NAMESPACE::RoundDoubleSums},
};

simd::TTargetChoice Choice(kTargets);

const TTarget& Chosen() { return Choice.Chosen(); }

// Whether the SIMD steps know the sample format; the others are plain C++.
bool SimdSamples(TSampleFormat Samples) { return Samples != TSampleFormat::Pcm32 && Samples != TSampleFormat::Float64; }

// Copies the Bytes-byte samples at From, To stepping by FromStep, ToStep.
template <int Bytes>
void CopySamples(const uint8_t* From, size_t FromStep, uint8_t* To, size_t ToStep, int32_t Count) {
  for (int32_t I = 0; I < Count; ++I, From += FromStep, To += ToStep) std::memcpy(To, From, Bytes);
}
void CopySamples(int Bytes, const uint8_t* From, size_t FromStep, uint8_t* To, size_t ToStep, int32_t Count) {
  switch (Bytes) {
    case 1: return CopySamples<1>(From, FromStep, To, ToStep, Count);
    case 2: return CopySamples<2>(From, FromStep, To, ToStep, Count);
    case 3: return CopySamples<3>(From, FromStep, To, ToStep, Count);
    default: return CopySamples<4>(From, FromStep, To, ToStep, Count);
  }
}

// A block's worth of one channel's samples, for frames of more than two
// channels: the mono steps run on it.
std::vector<uint8_t>& MonoBuffer(size_t Bytes) {
  static thread_local std::vector<uint8_t> Buffer;
  if (Buffer.size() < Bytes) Buffer.resize(Bytes);
  return Buffer;
}

}  // namespace

void LoadLevels(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels) {
  if (!SimdSamples(Format.Samples)) return LoadLevelsPortable(Raw, Frames, Format, C, Levels);
  if (Format.Channels <= 2) return Chosen().LoadLevels(Raw, Frames, Format, C, Levels);
  // Channel C's samples gathered, then loaded as a mono signal.
  const int Bytes = BytesPerSample(Format.Samples);
  uint8_t* const Mono = MonoBuffer(static_cast<size_t>(Frames) * static_cast<size_t>(Bytes)).data();
  CopySamples(Bytes, Raw + C * Bytes, static_cast<size_t>(Format.FrameBytes()), Mono, static_cast<size_t>(Bytes), Frames);
  Chosen().LoadLevels(Mono, Frames, TAudioFormat{Format.Samples, 1, 0}, 0, Levels);
}

void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc) {
  Chosen().SumTaps(Levels, Count, Taps, Acc);
}

int32_t RoundSums(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  if (!SimdSamples(Format.Samples)) return RoundSumsPortable(Acc, Count, Format, Rule, Out, Tally);
  if (Format.Channels <= 2) return Chosen().RoundSums(Acc, Count, Format, Rule, Out, Tally);
  // More channels: up to the first frame with a sum that may not be stored,
  // each channel's samples as a mono signal, then put in place.
  int32_t Good = Count;
  for (int C = 0; C < Format.Channels; ++C)
    for (int32_t J = 0; J < Good; ++J)
      if (!Storable(Acc[C][J], Rule)) Good = J;
  const int Bytes = BytesPerSample(Format.Samples);
  uint8_t* const Mono = MonoBuffer(static_cast<size_t>(Good) * static_cast<size_t>(Bytes)).data();
  for (int C = 0; C < Format.Channels; ++C) {
    Chosen().RoundSums(Acc + C, Good, TAudioFormat{Format.Samples, 1, 0}, Rule, Mono, Tally);
    CopySamples(Bytes, Mono, static_cast<size_t>(Bytes), Out + C * Bytes, static_cast<size_t>(Format.FrameBytes()), Good);
  }
  return Good;
}

int32_t RoundSums(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule, uint8_t* Out,
                  TOverflowCount& Tally) {
  if (IsFloat(Format.Samples)) return RoundSumsPortable(Sums, Count, Format, Rule, Out, Tally);
  return Chosen().RoundDoubleSums(Sums, Count, Format, Rule, Out, Tally);
}

std::vector<std::string> SimdTargets() { return Choice.Names(); }

void ForceSimdTarget(const std::string& Name) { Choice.Force(Name); }

}  // namespace kestrum::fast
#endif
