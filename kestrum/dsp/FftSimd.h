// The transform's steps for each instruction set (FftSimd.cpp), on spectra
// held as split arrays: real parts, then imaginary parts.
//
// Every output element is computed by the same sequence of IEEE operations
// on every instruction set: a vector lane does exactly what a scalar would,
// multiplies and adds are separate (no fused multiply-add), and where a
// step's span is narrower than the vector, narrower vectors take it. So
// SSE2, SSE4, AVX2 and AVX-512 give the same bits.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kestrum::dsp {

// The twiddles of a complex transform of N points (a power of two), and of
// a real one of 2N points built on it. Stage[H + j] = e^(-i pi j / H) for
// 0 <= j < H, H = 1, 2, 4, ..., N / 2; Pack[r] = e^(-i pi k / N) for the
// bin k = bitreverse(r) that slot r holds (see TRealFft).
struct TFftTables {
  explicit TFftTables(size_t N);
  size_t N;
  std::vector<double> StageRe, StageIm, PackRe, PackIm;
};

// The tables of size N, made once while anything holds them (RealFft.cpp).
std::shared_ptr<const TFftTables> SharedFftTables(size_t N);

// HalfTurnTwiddle (kestrum/dsp/RealFft.h) for a caller that holds the
// default floating-point environment; with Memo (made for the same N), the
// series of each small angle is summed once for many K. The angles of
// K < N are Octant pi/4 + (pi/4) Small / N with Small a multiple of 4
// (for N a multiple of 4): the memo keeps those alone, a quarter of the
// memory, which is slow to touch when fresh.
struct TSmallAngles {
  explicit TSmallAngles(size_t N) : N(N), Cos(N / 4 + 1), Sin(N / 4 + 1), Done(N / 4 + 1) {}
  size_t N;
  std::vector<long double> Cos, Sin;  // of Small = 4 i, at i
  std::vector<bool> Done;
};
std::complex<double> HalfTurnTwiddleInEnv(size_t K, size_t N, int Sign, TSmallAngles* Memo = nullptr);

// Re + i Im := the DFT (e^-) of Re + i Im, N points, in bit-reversed order.
void FftForward(double* Re, double* Im, const TFftTables& T);
// Re + i Im := the inverse DFT (e^+, unscaled) of Re + i Im given in
// bit-reversed order, in natural order.
void FftInverse(double* Re, double* Im, const TFftTables& T);
// Re, Im := the spectrum of the 2N real values In (see TRealFft for the
// layout).
void RealForward(const double* In, double* Re, double* Im, const TFftTables& T);
// Out := 2N times the 2N real values of the spectrum Re, Im, which is
// overwritten.
void RealInverse(double* Re, double* Im, double* Out, const TFftTables& T);
// Sum := the sum over p < Parts, in order, of X[p] * H[p] over Count bins
// (Sum first, when Add): each product (xr hr - xi hi, xr hi + xi hr),
// products and sums rounded one by one. X[p] and H[p] point to real parts,
// their imaginary parts are Im doubles further. The sum of a bin stays in
// a register over the partitions: a few at a time keep the streams of
// spectra few enough for the caches.
void MultiplyAdd(const double* const* X, const double* const* H, size_t Parts, size_t Im, double* SumRe,
                 double* SumIm, size_t Count, bool Add);

// Out[j] = sum over k < Count, in order, of Taps[k] * Line[j + Count - 1 - k]
// for j < Frames: a direct convolution, Line holding Count - 1 frames of
// history before the Frames new ones.
void DirectSum(const double* Line, const double* Taps, size_t Count, size_t Frames, double* Out);

// The instruction sets built and supported here, widest first, and the one
// the steps use from now on (tests and benchmarks; an unknown name, or "",
// gives back the widest).
std::vector<std::string> FftSimdTargets();
void ForceFftSimdTarget(const std::string& Name);

}  // namespace kestrum::dsp
