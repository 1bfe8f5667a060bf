// A real FFT in double precision.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>

namespace kestrum {

// Real transforms of 2B points, B a power of two, through a complex
// transform of B points.
class TRealFft {
public:
  explicit TRealFft(int32_t B);
  ~TRealFft();
  TRealFft(TRealFft&&) noexcept;
  // Spectrum[k], k = 0..B, of the 2B real values of In.
  void Forward(const double* In, std::complex<double>* Spectrum);
  // 2B times the 2B real values whose spectrum is Spectrum[0..B].
  void Inverse(const std::complex<double>* Spectrum, double* Out);
  int32_t Half() const { return FB; }

private:
  struct TImpl;
  const int32_t FB;
  std::unique_ptr<TImpl> F;
};

}  // namespace kestrum
