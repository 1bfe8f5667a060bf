// Real transforms through a complex transform of half their size.
#include "kestrum/dsp/RealFft.h"

#include <vector>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/KissFft.h"

namespace kestrum {

using TComplex = std::complex<double>;

struct TRealFft::TImpl {
  explicit TImpl(int32_t B)
      : Forward(static_cast<size_t>(B), false), Inverse(static_cast<size_t>(B), true),
        Twiddle(static_cast<size_t>(B) + 1), Z(static_cast<size_t>(B)), Zt(static_cast<size_t>(B)) {
    for (size_t K = 0; K <= size_t(B); ++K) Twiddle[K] = HalfTurnTwiddle(K, size_t(B), -1);
  }
  TKissFft Forward, Inverse;
  std::vector<TComplex> Twiddle;  // exp(-i pi k / B), k = 0..B
  std::vector<TComplex> Z, Zt;
};

TRealFft::TRealFft(int32_t B) : FB(B), F(std::make_unique<TImpl>(B)) {}
TRealFft::~TRealFft() = default;
TRealFft::TRealFft(TRealFft&&) noexcept = default;

// The 2B real values as B complex ones (even values real, odd imaginary),
// transformed, then split into the real signal's spectrum.
void TRealFft::Forward(const double* In, TComplex* Spectrum) {
  const TDefaultFloatEnv Env;
  const size_t B = static_cast<size_t>(FB);
  for (size_t N = 0; N < B; ++N) F->Z[N] = TComplex(In[2 * N], In[2 * N + 1]);
  F->Forward.Transform(F->Z.data(), F->Zt.data());
  const TComplex* const Z = F->Zt.data();
  for (size_t K = 0; K <= B; ++K) {
    const TComplex Zk = Z[K == B ? 0 : K];
    const TComplex Zc = std::conj(Z[K == 0 ? 0 : B - K]);
    const TComplex Even = 0.5 * (Zk + Zc);
    const TComplex Odd = TComplex(0.0, -0.5) * (Zk - Zc);
    Spectrum[K] = Even + F->Twiddle[K] * Odd;
  }
}

void TRealFft::Inverse(const TComplex* Spectrum, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = static_cast<size_t>(FB);
  for (size_t K = 0; K < B; ++K) {
    const TComplex Xk = Spectrum[K];
    const TComplex Xc = std::conj(Spectrum[B - K]);
    const TComplex Even = Xk + Xc;                             // twice the even values' spectrum
    const TComplex Odd = (Xk - Xc) * std::conj(F->Twiddle[K]);  // twice the odd values'
    F->Z[K] = Even + TComplex(0.0, 1.0) * Odd;
  }
  F->Inverse.Transform(F->Z.data(), F->Zt.data());
  for (size_t N = 0; N < B; ++N) {
    Out[2 * N] = F->Zt[N].real();
    Out[2 * N + 1] = F->Zt[N].imag();
  }
}

}  // namespace kestrum
