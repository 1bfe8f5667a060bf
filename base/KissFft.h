// KissFFT's complex transform in double precision, with twiddle factors that
// are the same bits on every machine.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>

namespace kestrum {

// e^(Sign i pi K / N), from the long double sine and cosine. glibc's double
// sin and cos take an FMA or an SSE2 path by processor, and the two differ in
// the last bit for some arguments; its long double ones have a single path.
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
