// KissFFT's complex transform in double precision, with twiddle factors that
// are the same bits on every machine.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>

namespace kestrum {

// e^(Sign i pi K / N), to the same bits on every machine. libm's sine and
// cosine cannot promise that: glibc's double ones take an FMA or an SSE2 path
// by processor, and its long double ones use the x87 fsin and fcos, whose
// last bits are the processor's. So the angle is brought below pi/4 by exact
// symmetries and its power series is summed in long double.
std::complex<double> HalfTurnTwiddle(size_t K, size_t N, int Sign);

// A KissFFT transform of N points (its header-only C++ template, for double),
// whose twiddles, e^(-+2 pi i k / N), are HalfTurnTwiddle's rather than those
// its constructor makes with libm's double functions.
class TKissFft {
public:
  TKissFft(size_t N, bool Inverse);
  ~TKissFft();
  TKissFft(TKissFft&&) noexcept;
  // Out[k] = sum over n of In[n] e^(-+2 pi i k n / N); In and Out must not overlap.
  void Transform(const std::complex<double>* In, std::complex<double>* Out) const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> F;
};

}  // namespace kestrum
