// Fourier transforms in double precision of our own: the same bits on every
// machine and instruction set (kestrum/dsp/FftSimd.h).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrum {

namespace dsp {
struct TFftTables;
}

// e^(Sign i pi K / N), to the same bits on every machine. libm's sine and
// cosine cannot promise that: glibc's double ones take an FMA or an SSE2 path
// by processor, and its long double ones use the x87 fsin and fcos, whose
// last bits are the processor's. So the angle is brought below pi/4 by exact
// symmetries and its power series is summed in long double.
std::complex<double> HalfTurnTwiddle(size_t K, size_t N, int Sign);

// Real transforms of 2B points, B a power of two, through a complex
// transform of B points. A spectrum is 2B doubles: B real parts, then B
// imaginary parts, of the bins 0 to B - 1 in bit-reversed order (slot r
// holds the bin whose index is r's B-bit reversal); slot 0 holds the bins 0
// and B, both real, as its real and imaginary part. Bin by bin products of
// two spectra (slot 0 part by part) are the spectrum of the circular
// convolution. The twiddles are made once per size and shared.
class TRealFft {
public:
  explicit TRealFft(int32_t B);
  ~TRealFft();
  TRealFft(const TRealFft&);
  // Spectrum (2B doubles) of the 2B real values of In.
  void Forward(const double* In, double* Spectrum) const;
  // Out := 2B times the 2B real values whose spectrum is Spectrum, which is
  // overwritten.
  void Inverse(double* Spectrum, double* Out) const;
  int32_t Half() const { return FB; }

private:
  int32_t FB;
  std::shared_ptr<const dsp::TFftTables> FTables;
};

// The complex transform of N points, N a power of two, in natural order:
// Out[k] = sum over n of In[n] e^(-2 pi i k n / N). In and Out may be the same.
class TComplexFft {
public:
  explicit TComplexFft(size_t N);
  ~TComplexFft();
  void Transform(const std::complex<double>* In, std::complex<double>* Out) const;
  size_t Size() const { return FN; }

private:
  size_t FN;
  std::shared_ptr<const dsp::TFftTables> FTables;
};

}  // namespace kestrum
