// The transform's steps for each instruction set, chosen at run time. A
// complex transform of N points runs radix-2 stages, fused two by two so
// that each pass over the data does two (the same operations, fewer loads
// and stores): decimation in frequency forward, natural order in and
// bit-reversed order out; decimation in time back, bit-reversed in and
// natural out. A convolution multiplies spectra bin by bin, so it never
// needs the natural order, and no pass reorders.
//
// Highway's headers only, as in kestrum/kernel/FastKernelSimd.cpp: the steps
// are chosen below (kTargets), a new instruction set needs a line there.
#if !defined(__x86_64__) && !defined(__i386__)
#define HWY_COMPILE_ONLY_STATIC
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kestrum/dsp/FftSimd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <iterator>

#include "kestrum/base/SimdTargets.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/FftSimd.h"
#include "kestrum/dsp/RealFft.h"

HWY_BEFORE_NAMESPACE();
namespace kestrum::dsp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Calls Step with the widest vectors of at most Span lanes: a step whose
// span is narrower than the target's vectors takes narrower ones, which do
// the same operations per lane.
template <class TStep>
HWY_INLINE void WithLanes(size_t Span, const TStep& Step) {
  const hn::ScalableTag<double> Full;
  if (Span >= hn::Lanes(Full)) return Step(Full);
  if (Span >= 4) return Step(hn::CappedTag<double, 4>());
  if (Span >= 2) return Step(hn::CappedTag<double, 2>());
  Step(hn::CappedTag<double, 1>());
}

// (ar + i ai)(br + i bi), and (ar + i ai) times the conjugate of (br + i bi).
template <class V>
HWY_INLINE void Times(V Ar, V Ai, V Br, V Bi, V& Rr, V& Ri) {
  Rr = hn::Sub(hn::Mul(Ar, Br), hn::Mul(Ai, Bi));
  Ri = hn::Add(hn::Mul(Ar, Bi), hn::Mul(Ai, Br));
}
template <class V>
HWY_INLINE void TimesConj(V Ar, V Ai, V Br, V Bi, V& Rr, V& Ri) {
  Rr = hn::Add(hn::Mul(Ar, Br), hn::Mul(Ai, Bi));
  Ri = hn::Sub(hn::Mul(Ai, Br), hn::Mul(Ar, Bi));
}

// One decimation-in-frequency stage: in each group of 2H points, the pairs
// j and j + H become their sum and their difference times e^(-i pi j / H).
void DifStage(double* Re, double* Im, size_t N, size_t H, const TFftTables& T) {
  WithLanes(H, [&](auto d) HWY_ATTR {
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 2 * H)
      for (size_t J = 0; J < H; J += L) {
        double* const R = Re + G + J;
        double* const I = Im + G + J;
        const auto Ar = hn::LoadU(d, R), Ai = hn::LoadU(d, I), Br = hn::LoadU(d, R + H), Bi = hn::LoadU(d, I + H);
        hn::StoreU(hn::Add(Ar, Br), d, R);
        hn::StoreU(hn::Add(Ai, Bi), d, I);
        decltype(hn::Zero(d)) Xr, Xi;
        Times(hn::Sub(Ar, Br), hn::Sub(Ai, Bi), hn::LoadU(d, &T.StageRe[H + J]), hn::LoadU(d, &T.StageIm[H + J]), Xr, Xi);
        hn::StoreU(Xr, d, R + H);
        hn::StoreU(Xi, d, I + H);
      }
  });
}

// The stages H and H / 2 in one pass (H / 2 >= 4).
void DifStages(double* Re, double* Im, size_t N, size_t H, const TFftTables& T) {
  const size_t Q = H / 2;
  WithLanes(Q, [&](auto d) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 2 * H)
      for (size_t J = 0; J < Q; J += L) {
        double* const R = Re + G + J;
        double* const I = Im + G + J;
        const V X0r = hn::LoadU(d, R), X0i = hn::LoadU(d, I), X1r = hn::LoadU(d, R + Q), X1i = hn::LoadU(d, I + Q);
        const V X2r = hn::LoadU(d, R + H), X2i = hn::LoadU(d, I + H);
        const V X3r = hn::LoadU(d, R + H + Q), X3i = hn::LoadU(d, I + H + Q);
        V Y2r, Y2i, Y3r, Y3i, Z1r, Z1i, Z3r, Z3i;
        const V Y0r = hn::Add(X0r, X2r), Y0i = hn::Add(X0i, X2i);
        Times(hn::Sub(X0r, X2r), hn::Sub(X0i, X2i), hn::LoadU(d, &T.StageRe[H + J]), hn::LoadU(d, &T.StageIm[H + J]),
              Y2r, Y2i);
        const V Y1r = hn::Add(X1r, X3r), Y1i = hn::Add(X1i, X3i);
        Times(hn::Sub(X1r, X3r), hn::Sub(X1i, X3i), hn::LoadU(d, &T.StageRe[H + J + Q]),
              hn::LoadU(d, &T.StageIm[H + J + Q]), Y3r, Y3i);
        const V Wr = hn::LoadU(d, &T.StageRe[Q + J]), Wi = hn::LoadU(d, &T.StageIm[Q + J]);
        hn::StoreU(hn::Add(Y0r, Y1r), d, R);
        hn::StoreU(hn::Add(Y0i, Y1i), d, I);
        Times(hn::Sub(Y0r, Y1r), hn::Sub(Y0i, Y1i), Wr, Wi, Z1r, Z1i);
        hn::StoreU(Z1r, d, R + Q);
        hn::StoreU(Z1i, d, I + Q);
        hn::StoreU(hn::Add(Y2r, Y3r), d, R + H);
        hn::StoreU(hn::Add(Y2i, Y3i), d, I + H);
        Times(hn::Sub(Y2r, Y3r), hn::Sub(Y2i, Y3i), Wr, Wi, Z3r, Z3i);
        hn::StoreU(Z3r, d, R + H + Q);
        hn::StoreU(Z3i, d, I + H + Q);
      }
  });
}

// The last two stages (H = 2, then 1) on groups of 4 points, a group per
// lane: the twiddles are 1 and -i, exact without a product.
void DifLast(double* Re, double* Im, size_t N) {
  WithLanes(N / 4, [&](auto d) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 4 * L) {
      V R0, R1, R2, R3, I0, I1, I2, I3;
      hn::LoadInterleaved4(d, Re + G, R0, R1, R2, R3);
      hn::LoadInterleaved4(d, Im + G, I0, I1, I2, I3);
      const V Y0r = hn::Add(R0, R2), Y0i = hn::Add(I0, I2), Y2r = hn::Sub(R0, R2), Y2i = hn::Sub(I0, I2);
      const V Y1r = hn::Add(R1, R3), Y1i = hn::Add(I1, I3);
      const V Y3r = hn::Sub(I1, I3), Y3i = hn::Neg(hn::Sub(R1, R3));  // times -i
      hn::StoreInterleaved4(hn::Add(Y0r, Y1r), hn::Sub(Y0r, Y1r), hn::Add(Y2r, Y3r), hn::Sub(Y2r, Y3r), d, Re + G);
      hn::StoreInterleaved4(hn::Add(Y0i, Y1i), hn::Sub(Y0i, Y1i), hn::Add(Y2i, Y3i), hn::Sub(Y2i, Y3i), d, Im + G);
    }
  });
}

// One decimation-in-time stage: in each group of 2H points, b = the point
// j + H times e^(+i pi j / H); the pair j, j + H becomes a + b, a - b.
void DitStage(double* Re, double* Im, size_t N, size_t H, const TFftTables& T) {
  WithLanes(H, [&](auto d) HWY_ATTR {
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 2 * H)
      for (size_t J = 0; J < H; J += L) {
        double* const R = Re + G + J;
        double* const I = Im + G + J;
        const auto Ar = hn::LoadU(d, R), Ai = hn::LoadU(d, I);
        decltype(hn::Zero(d)) Br, Bi;
        TimesConj(hn::LoadU(d, R + H), hn::LoadU(d, I + H), hn::LoadU(d, &T.StageRe[H + J]),
                  hn::LoadU(d, &T.StageIm[H + J]), Br, Bi);
        hn::StoreU(hn::Add(Ar, Br), d, R);
        hn::StoreU(hn::Add(Ai, Bi), d, I);
        hn::StoreU(hn::Sub(Ar, Br), d, R + H);
        hn::StoreU(hn::Sub(Ai, Bi), d, I + H);
      }
  });
}

// The stages H and 2H in one pass (H >= 4).
void DitStages(double* Re, double* Im, size_t N, size_t H, const TFftTables& T) {
  WithLanes(H, [&](auto d) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 4 * H)
      for (size_t J = 0; J < H; J += L) {
        double* const R = Re + G + J;
        double* const I = Im + G + J;
        const V Wr = hn::LoadU(d, &T.StageRe[H + J]), Wi = hn::LoadU(d, &T.StageIm[H + J]);
        const V X0r = hn::LoadU(d, R), X0i = hn::LoadU(d, I);
        const V X2r = hn::LoadU(d, R + 2 * H), X2i = hn::LoadU(d, I + 2 * H);
        V Br, Bi;
        TimesConj(hn::LoadU(d, R + H), hn::LoadU(d, I + H), Wr, Wi, Br, Bi);
        const V Y0r = hn::Add(X0r, Br), Y0i = hn::Add(X0i, Bi), Y1r = hn::Sub(X0r, Br), Y1i = hn::Sub(X0i, Bi);
        TimesConj(hn::LoadU(d, R + 3 * H), hn::LoadU(d, I + 3 * H), Wr, Wi, Br, Bi);
        const V Y2r = hn::Add(X2r, Br), Y2i = hn::Add(X2i, Bi), Y3r = hn::Sub(X2r, Br), Y3i = hn::Sub(X2i, Bi);
        TimesConj(Y2r, Y2i, hn::LoadU(d, &T.StageRe[2 * H + J]), hn::LoadU(d, &T.StageIm[2 * H + J]), Br, Bi);
        hn::StoreU(hn::Add(Y0r, Br), d, R);
        hn::StoreU(hn::Add(Y0i, Bi), d, I);
        hn::StoreU(hn::Sub(Y0r, Br), d, R + 2 * H);
        hn::StoreU(hn::Sub(Y0i, Bi), d, I + 2 * H);
        TimesConj(Y3r, Y3i, hn::LoadU(d, &T.StageRe[3 * H + J]), hn::LoadU(d, &T.StageIm[3 * H + J]), Br, Bi);
        hn::StoreU(hn::Add(Y1r, Br), d, R + H);
        hn::StoreU(hn::Add(Y1i, Bi), d, I + H);
        hn::StoreU(hn::Sub(Y1r, Br), d, R + 3 * H);
        hn::StoreU(hn::Sub(Y1i, Bi), d, I + 3 * H);
      }
  });
}

// The first two stages (H = 1, then 2) on groups of 4 points, a group per
// lane: the twiddles are 1 and +i.
void DitFirst(double* Re, double* Im, size_t N) {
  WithLanes(N / 4, [&](auto d) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t G = 0; G < N; G += 4 * L) {
      V R0, R1, R2, R3, I0, I1, I2, I3;
      hn::LoadInterleaved4(d, Re + G, R0, R1, R2, R3);
      hn::LoadInterleaved4(d, Im + G, I0, I1, I2, I3);
      const V Y0r = hn::Add(R0, R1), Y0i = hn::Add(I0, I1), Y1r = hn::Sub(R0, R1), Y1i = hn::Sub(I0, I1);
      const V Y2r = hn::Add(R2, R3), Y2i = hn::Add(I2, I3);
      const V Br = hn::Neg(hn::Sub(I2, I3)), Bi = hn::Sub(R2, R3);  // times +i
      hn::StoreInterleaved4(hn::Add(Y0r, Y2r), hn::Add(Y1r, Br), hn::Sub(Y0r, Y2r), hn::Sub(Y1r, Br), d, Re + G);
      hn::StoreInterleaved4(hn::Add(Y0i, Y2i), hn::Add(Y1i, Bi), hn::Sub(Y0i, Y2i), hn::Sub(Y1i, Bi), d, Im + G);
    }
  });
}

// The stages' order depends on N alone, never on the vectors' width.
void FftForward(double* Re, double* Im, const TFftTables& T) {
  const size_t N = T.N;
  if (N < 4) {
    if (N == 2) DifStage(Re, Im, N, 1, T);
    return;
  }
  size_t H = N / 2;
  if (std::countr_zero(N) % 2 == 1) DifStage(Re, Im, N, H, T), H /= 2;  // an odd count of stages above 2
  for (; H >= 8; H /= 4) DifStages(Re, Im, N, H, T);
  DifLast(Re, Im, N);
}

void FftInverse(double* Re, double* Im, const TFftTables& T) {
  const size_t N = T.N;
  if (N < 4) {
    if (N == 2) DitStage(Re, Im, N, 1, T);
    return;
  }
  DitFirst(Re, Im, N);
  size_t H = 4;
  for (; 4 * H <= N; H *= 4) DitStages(Re, Im, N, H, T);
  if (H < N) DitStage(Re, Im, N, H, T);
}

// X[k] = E[k] + e^(-i pi k / N) O[k] from Z = E + i O, the spectrum of the
// even values plus i times the odd values': the bin k of slot r from Z at r
// (a + i b) and at its partner slot, that of N - k (c + i d).
template <class D, class V>
HWY_INLINE void Pack(D d, V A, V B, V C, V Dd, V Wr, V Wi, V& Xr, V& Xi) {
  const V Half = hn::Set(d, 0.5);
  const V Er = hn::Mul(Half, hn::Add(A, C)), Ei = hn::Mul(Half, hn::Sub(B, Dd));
  const V Or = hn::Mul(Half, hn::Add(B, Dd)), Oi = hn::Mul(Half, hn::Sub(C, A));
  V Pr, Pi;
  Times(Wr, Wi, Or, Oi, Pr, Pi);
  Xr = hn::Add(Er, Pr);
  Xi = hn::Add(Ei, Pi);
}
// Its inverse, times 2: Z = (X[k] + conj X[N - k]) + i (X[k] - conj X[N - k]) e^(i pi k / N).
template <class D, class V>
HWY_INLINE void Unpack(D, V A, V B, V C, V Dd, V Wr, V Wi, V& Zr, V& Zi) {
  V Or, Oi;
  TimesConj(hn::Sub(A, C), hn::Add(B, Dd), Wr, Wi, Or, Oi);
  Zr = hn::Sub(hn::Add(A, C), Oi);
  Zi = hn::Add(hn::Sub(B, Dd), Or);
}

// Applies Step (Pack or Unpack) to every slot but 0. In bit-reversed order
// the slots [S, 2S) hold the bins whose partners lie in the same range,
// mirrored: slot r's partner is 3S - 1 - r. A vector of slots from the
// range's first half and the mirrored vector from its second half are each
// other's partners, reversed.
template <bool Forward>
void Split(double* Re, double* Im, const TFftTables& T) {
  const size_t N = T.N;
  const auto Slots = [&](auto d, size_t R, size_t P) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const V Ar = hn::LoadU(d, Re + R), Ai = hn::LoadU(d, Im + R);
    const V Pr = hn::LoadU(d, Re + P), Pi = hn::LoadU(d, Im + P);
    V Xr, Xi, Yr, Yi;
    if constexpr (Forward) {
      Pack(d, Ar, Ai, hn::Reverse(d, Pr), hn::Reverse(d, Pi), hn::LoadU(d, &T.PackRe[R]), hn::LoadU(d, &T.PackIm[R]), Xr, Xi);
      Pack(d, Pr, Pi, hn::Reverse(d, Ar), hn::Reverse(d, Ai), hn::LoadU(d, &T.PackRe[P]), hn::LoadU(d, &T.PackIm[P]), Yr, Yi);
    } else {
      Unpack(d, Ar, Ai, hn::Reverse(d, Pr), hn::Reverse(d, Pi), hn::LoadU(d, &T.PackRe[R]), hn::LoadU(d, &T.PackIm[R]), Xr, Xi);
      Unpack(d, Pr, Pi, hn::Reverse(d, Ar), hn::Reverse(d, Ai), hn::LoadU(d, &T.PackRe[P]), hn::LoadU(d, &T.PackIm[P]), Yr, Yi);
    }
    hn::StoreU(Xr, d, Re + R);
    hn::StoreU(Xi, d, Im + R);
    hn::StoreU(Yr, d, Re + P);
    hn::StoreU(Yi, d, Im + P);
  };
  if (N >= 2) {
    // Slot 1 holds the bin N / 2, its own partner: both vectors load it and
    // the second store gives the same values.
    const hn::CappedTag<double, 1> One;
    Slots(One, 1, 1);
  }
  for (size_t S = 2; S < N; S *= 2)
    WithLanes(S / 2, [&](auto d) HWY_ATTR {
      const size_t L = hn::Lanes(d);
      for (size_t R = S; R < S + S / 2; R += L) Slots(d, R, 3 * S - R - L);
    });
}

void RealForward(const double* In, double* Re, double* Im, const TFftTables& T) {
  const size_t N = T.N;
  WithLanes(N, [&](auto d) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t K = 0; K < N; K += L) {
      V Even, Odd;
      hn::LoadInterleaved2(d, In + 2 * K, Even, Odd);
      hn::StoreU(Even, d, Re + K);
      hn::StoreU(Odd, d, Im + K);
    }
  });
  HWY_NAMESPACE::FftForward(Re, Im, T);
  Split<true>(Re, Im, T);
  // Slot 0: the bins 0 and N, both real, from Z[0] = E[0] + i O[0].
  const double A = Re[0], B = Im[0];
  Re[0] = A + B;
  Im[0] = A - B;
}

void RealInverse(double* Re, double* Im, double* Out, const TFftTables& T) {
  const size_t N = T.N;
  const double A = Re[0], B = Im[0];
  Re[0] = A + B;
  Im[0] = A - B;
  Split<false>(Re, Im, T);
  HWY_NAMESPACE::FftInverse(Re, Im, T);
  WithLanes(N, [&](auto d) HWY_ATTR {
    const size_t L = hn::Lanes(d);
    for (size_t K = 0; K < N; K += L) hn::StoreInterleaved2(hn::LoadU(d, Re + K), hn::LoadU(d, Im + K), d, Out + 2 * K);
  });
}

void MultiplyAdd(const double* const* X, const double* const* H, size_t Parts, size_t Im, double* SumRe,
                 double* SumIm, size_t Count, bool Add) {
  const auto Run = [&](auto d, size_t From, size_t To) HWY_ATTR {
    using V = decltype(hn::Zero(d));
    const size_t L = hn::Lanes(d);
    for (size_t K = From; K < To; K += L) {
      // The sum stays in registers over the partitions, in their order.
      V Pr, Pi;
      size_t P = 0;
      if (Add) {
        Pr = hn::LoadU(d, SumRe + K);
        Pi = hn::LoadU(d, SumIm + K);
      } else {
        Times(hn::LoadU(d, X[0] + K), hn::LoadU(d, X[0] + Im + K), hn::LoadU(d, H[0] + K),
              hn::LoadU(d, H[0] + Im + K), Pr, Pi);
        P = 1;
      }
      for (; P < Parts; ++P) {
        V Qr, Qi;
        Times(hn::LoadU(d, X[P] + K), hn::LoadU(d, X[P] + Im + K), hn::LoadU(d, H[P] + K),
              hn::LoadU(d, H[P] + Im + K), Qr, Qi);
        Pr = hn::Add(Pr, Qr);
        Pi = hn::Add(Pi, Qi);
      }
      hn::StoreU(Pr, d, SumRe + K);
      hn::StoreU(Pi, d, SumIm + K);
    }
  };
  const hn::ScalableTag<double> Full;
  const size_t Whole = Count / hn::Lanes(Full) * hn::Lanes(Full);
  Run(Full, 0, Whole);
  Run(hn::CappedTag<double, 1>(), Whole, Count);
}

void DirectSum(const double* Line, const double* Taps, size_t Count, size_t Frames, double* Out) {
  if (Count == 0) return std::fill(Out, Out + Frames, 0.0);
  const auto Run = [&](auto d, size_t From, size_t To) HWY_ATTR {
    const size_t L = hn::Lanes(d);
    size_t J = From;
    // Four vectors of frames at a time: four sums in flight, each still
    // summed in tap order, so that the adds' latency does not bound the
    // loop, and each tap is loaded once for them.
    for (; J + 4 * L <= To; J += 4 * L) {
      const double* const Newest = Line + J + Count - 1;
      auto Tap = hn::Set(d, Taps[0]);
      auto S0 = hn::Mul(Tap, hn::LoadU(d, Newest));
      auto S1 = hn::Mul(Tap, hn::LoadU(d, Newest + L));
      auto S2 = hn::Mul(Tap, hn::LoadU(d, Newest + 2 * L));
      auto S3 = hn::Mul(Tap, hn::LoadU(d, Newest + 3 * L));
      for (size_t K = 1; K < Count; ++K) {
        Tap = hn::Set(d, Taps[K]);
        S0 = hn::Add(S0, hn::Mul(Tap, hn::LoadU(d, Newest - K)));
        S1 = hn::Add(S1, hn::Mul(Tap, hn::LoadU(d, Newest + L - K)));
        S2 = hn::Add(S2, hn::Mul(Tap, hn::LoadU(d, Newest + 2 * L - K)));
        S3 = hn::Add(S3, hn::Mul(Tap, hn::LoadU(d, Newest + 3 * L - K)));
      }
      hn::StoreU(S0, d, Out + J);
      hn::StoreU(S1, d, Out + J + L);
      hn::StoreU(S2, d, Out + J + 2 * L);
      hn::StoreU(S3, d, Out + J + 3 * L);
    }
    for (; J < To; J += L) {
      const double* const Newest = Line + J + Count - 1;
      auto Sum = hn::Mul(hn::Set(d, Taps[0]), hn::LoadU(d, Newest));
      for (size_t K = 1; K < Count; ++K) Sum = hn::Add(Sum, hn::Mul(hn::Set(d, Taps[K]), hn::LoadU(d, Newest - K)));
      hn::StoreU(Sum, d, Out + J);
    }
  };
  const hn::ScalableTag<double> Full;
  const size_t Whole = Frames / hn::Lanes(Full) * hn::Lanes(Full);
  Run(Full, 0, Whole);
  Run(hn::CappedTag<double, 1>(), Whole, Frames);
}

}  // namespace HWY_NAMESPACE
}  // namespace kestrum::dsp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kestrum::dsp {
namespace {

struct TTarget {
  const char* Name;
  bool (*Supported)();
  decltype(&HWY_NAMESPACE::FftForward) FftForward;
  decltype(&HWY_NAMESPACE::FftInverse) FftInverse;
  decltype(&HWY_NAMESPACE::RealForward) RealForward;
  decltype(&HWY_NAMESPACE::RealInverse) RealInverse;
  decltype(&HWY_NAMESPACE::MultiplyAdd) MultiplyAdd;
  decltype(&HWY_NAMESPACE::DirectSum) DirectSum;
};


#define KESTRUM_FFT_STEPS(NS) \
  NS::FftForward, NS::FftInverse, NS::RealForward, NS::RealInverse, NS::MultiplyAdd, NS::DirectSum
// Widest first; the last, the build's baseline, runs everywhere.
const TTarget kTargets[] = {
#if HWY_TARGETS & HWY_AVX3 & ~HWY_STATIC_TARGET
    {"AVX3", simd::HasAvx3, KESTRUM_FFT_STEPS(N_AVX3)},
#endif
#if HWY_TARGETS & HWY_AVX2 & ~HWY_STATIC_TARGET
    {"AVX2", simd::HasAvx2, KESTRUM_FFT_STEPS(N_AVX2)},
#endif
#if HWY_TARGETS & HWY_SSE4 & ~HWY_STATIC_TARGET
    {"SSE4", simd::HasSse4, KESTRUM_FFT_STEPS(N_SSE4)},
#endif
#if HWY_TARGETS & HWY_SSSE3 & ~HWY_STATIC_TARGET
    {"SSSE3", simd::HasSsse3, KESTRUM_FFT_STEPS(N_SSSE3)},
#endif
    {hwy::TargetName(HWY_STATIC_TARGET), [] { return true; }, KESTRUM_FFT_STEPS(HWY_NAMESPACE)},
};
#undef KESTRUM_FFT_STEPS

simd::TTargetChoice Choice(kTargets);

const TTarget& Chosen() { return Choice.Chosen(); }

size_t BitReversed(size_t K, int Bits) {
  size_t R = 0;
  for (int I = 0; I < Bits; ++I, K >>= 1) R = (R << 1) | (K & 1);
  return R;
}

}  // namespace

TFftTables::TFftTables(size_t N) : N(N), StageRe(N), StageIm(N), PackRe(N), PackIm(N) {
  const TDefaultFloatEnv Env;
  // e^(-i pi k / N) for k < N, each computed once and put where the tables
  // hold it: in Pack at slot bitreverse(k), and in every stage whose angle
  // pi j / H it is (k = j N / H, for each power of two N / H dividing k).
  // HalfTurnTwiddle gives the same bits either way.
  TSmallAngles Memo(N);
  const int Bits = std::countr_zero(N);
  for (size_t K = 0; K < N; ++K) {
    const std::complex<double> W = HalfTurnTwiddleInEnv(K, N, -1, &Memo);
    PackRe[BitReversed(K, Bits)] = W.real();
    PackIm[BitReversed(K, Bits)] = W.imag();
    for (size_t D = 2; D <= N && K % D == 0; D *= 2) {  // H = N / D, j = K / D
      StageRe[N / D + K / D] = W.real();
      StageIm[N / D + K / D] = W.imag();
    }
  }
}

void FftForward(double* Re, double* Im, const TFftTables& T) { Chosen().FftForward(Re, Im, T); }
void FftInverse(double* Re, double* Im, const TFftTables& T) { Chosen().FftInverse(Re, Im, T); }
void RealForward(const double* In, double* Re, double* Im, const TFftTables& T) {
  Chosen().RealForward(In, Re, Im, T);
}
void RealInverse(double* Re, double* Im, double* Out, const TFftTables& T) { Chosen().RealInverse(Re, Im, Out, T); }
void MultiplyAdd(const double* const* X, const double* const* H, size_t Parts, size_t Im, double* SumRe,
                 double* SumIm, size_t Count, bool Add) {
  Chosen().MultiplyAdd(X, H, Parts, Im, SumRe, SumIm, Count, Add);
}

void DirectSum(const double* Line, const double* Taps, size_t Count, size_t Frames, double* Out) {
  Chosen().DirectSum(Line, Taps, Count, Frames, Out);
}

std::vector<std::string> FftSimdTargets() { return Choice.Names(); }

void ForceFftSimdTarget(const std::string& Name) { Choice.Force(Name); }

}  // namespace kestrum::dsp
#endif
