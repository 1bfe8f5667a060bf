// The KissFFT transform with machine-independent twiddles.
#include "kestrum/dsp/KissFft.h"

#include "kestrum/base/FloatEnv.h"

#include <kissfft.hh>

#include <cstdint>
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

// cos x and sin x for 0 <= x <= pi/4 by their power series in long double,
// 20 terms, well past the point where they stop changing the sums. Only
// additions, multiplications and divisions, which IEEE arithmetic defines to
// the bit in the default environment.
void SmallAngleCosSin(long double X, long double& Cos, long double& Sin) {
  const long double X2 = X * X;
  long double CosTerm = 1, SinTerm = X;
  Cos = 1;
  Sin = X;
  for (int N = 1; N < 20; ++N) {
    CosTerm = -CosTerm * X2 / static_cast<long double>((2 * N - 1) * (2 * N));
    SinTerm = -SinTerm * X2 / static_cast<long double>((2 * N) * (2 * N + 1));
    Cos += CosTerm;
    Sin += SinTerm;
  }
}

}  // namespace

std::complex<double> HalfTurnTwiddle(size_t K, size_t N, int Sign) {
  // With Half = K mod 2N and 4 Half = Octant N + Rest, the angle pi K / N is
  // Octant pi/4 + (pi/4) Rest / N. The series only sees angles up to pi/4;
  // the octant is placed by exact swaps and sign changes.
  const TDefaultFloatEnv Env;
  const long double QuarterPi = 0.785398163397448309615660845819875721L;
  const uint64_t Half = K % (2 * N);  // in units of pi / N
  const uint64_t Scaled = 4 * Half;   // in units of (pi/4) / N
  uint64_t Octant = Scaled / N;       // 0 to 7
  const uint64_t Rest = Scaled % N;
  long double C, S;
  if (Octant % 2 == 0) {
    SmallAngleCosSin(QuarterPi * static_cast<long double>(Rest) / static_cast<long double>(N), C, S);
  } else {
    // Measure back from the next octant boundary, so the angle stays small.
    SmallAngleCosSin(QuarterPi * static_cast<long double>(N - Rest) / static_cast<long double>(N), C, S);
    S = -S;
    ++Octant;
  }
  for (uint64_t Quarter = 0; Quarter < (Octant / 2) % 4; ++Quarter) {  // turn by pi/2
    const long double T = C;
    C = -S;
    S = T;
  }
  return {static_cast<double>(C), Sign * static_cast<double>(S)};
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
