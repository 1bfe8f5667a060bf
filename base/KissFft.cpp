// The KissFFT transform with machine-independent twiddles.
#include "base/KissFft.h"

#include <kissfft.hh>

#include <cmath>
#include <vector>

namespace kestrum {

namespace {

// KissFFT keeps its twiddles private; an explicit instantiation may name a
// private member, which gives TwiddlesOf access to them.
std::vector<std::complex<double>>& TwiddlesOf(kissfft<double>& Fft);
template <std::vector<std::complex<double>> kissfft<double>::*Member>
struct TTwiddleAccess {
  friend std::vector<std::complex<double>>& TwiddlesOf(kissfft<double>& Fft) { return Fft.*Member; }
};
template struct TTwiddleAccess<&kissfft<double>::_twiddles>;

}  // namespace

std::complex<double> HalfTurnTwiddle(size_t K, size_t N, int Sign) {
  const long double Pi = 3.141592653589793238462643383279502884L;
  const long double Angle = Pi * static_cast<long double>(K) / static_cast<long double>(N);
  return {static_cast<double>(std::cos(Angle)), Sign * static_cast<double>(std::sin(Angle))};
}

struct TKissFft::TImpl {
  TImpl(size_t N, bool Inverse) : Fft(N, Inverse) {}
  kissfft<double> Fft;
};

TKissFft::TKissFft(size_t N, bool Inverse) : F(std::make_unique<TImpl>(N, Inverse)) {
  std::vector<std::complex<double>>& Twiddles = TwiddlesOf(F->Fft);
  for (size_t I = 0; I < N; ++I) Twiddles[I] = HalfTurnTwiddle(2 * I, N, Inverse ? 1 : -1);
}

TKissFft::~TKissFft() = default;
TKissFft::TKissFft(TKissFft&&) noexcept = default;

void TKissFft::Transform(const std::complex<double>* In, std::complex<double>* Out) const { F->Fft.transform(In, Out); }

}  // namespace kestrum
