// Real and complex transforms on the vectorised steps, and their twiddles.
#include "kestrum/dsp/RealFft.h"

#include <bit>
#include <map>
#include <mutex>
#include <vector>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/FftSimd.h"

namespace kestrum {

namespace {

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

std::shared_ptr<const dsp::TFftTables> dsp::SharedFftTables(size_t N) {
  static std::mutex Lock;
  static std::map<size_t, std::weak_ptr<const dsp::TFftTables>> Made;
  const std::lock_guard<std::mutex> Hold(Lock);
  std::shared_ptr<const dsp::TFftTables> Tables = Made[N].lock();
  if (!Tables) {
    const TDefaultFloatEnv Env;
    Tables = std::make_shared<const dsp::TFftTables>(N);
    Made[N] = Tables;
  }
  return Tables;
}


namespace dsp {

// HalfTurnTwiddle in the default environment, which the caller holds.
std::complex<double> HalfTurnTwiddleInEnv(size_t K, size_t N, int Sign, TSmallAngles* Memo) {
  // With Half = K mod 2N and 4 Half = Octant N + Rest, the angle pi K / N is
  // Octant pi/4 + (pi/4) Rest / N. The series only sees angles up to pi/4;
  // the octant is placed by exact swaps and sign changes.
  const long double QuarterPi = 0.785398163397448309615660845819875721L;
  const uint64_t Half = K % (2 * N);  // in units of pi / N
  const uint64_t Scaled = 4 * Half;   // in units of (pi/4) / N
  uint64_t Octant = Scaled / N;       // 0 to 7
  const uint64_t Rest = Scaled % N;
  // Measured back from the next octant boundary in odd octants, so that the
  // angle stays small.
  const uint64_t Small = Octant % 2 == 0 ? Rest : N - Rest;
  long double C, S;
  const bool Kept = Memo && Memo->N == N && Small % 4 == 0;
  if (Kept && Memo->Done[Small / 4]) {
    C = Memo->Cos[Small / 4], S = Memo->Sin[Small / 4];
  } else {
    SmallAngleCosSin(QuarterPi * static_cast<long double>(Small) / static_cast<long double>(N), C, S);
    if (Kept) Memo->Cos[Small / 4] = C, Memo->Sin[Small / 4] = S, Memo->Done[Small / 4] = true;
  }
  if (Octant % 2 == 1) {
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

}  // namespace dsp

std::complex<double> HalfTurnTwiddle(size_t K, size_t N, int Sign) {
  const TDefaultFloatEnv Env;
  return dsp::HalfTurnTwiddleInEnv(K, N, Sign);
}

TRealFft::TRealFft(int32_t B) : FB(B), FTables(dsp::SharedFftTables(size_t(B))) {}
TRealFft::~TRealFft() = default;
TRealFft::TRealFft(const TRealFft&) = default;

void TRealFft::Forward(const double* In, double* Spectrum) const {
  const TDefaultFloatEnv Env;
  dsp::RealForward(In, Spectrum, Spectrum + FB, *FTables);
}

void TRealFft::Inverse(double* Spectrum, double* Out) const {
  const TDefaultFloatEnv Env;
  dsp::RealInverse(Spectrum, Spectrum + FB, Out, *FTables);
}

TComplexFft::TComplexFft(size_t N) : FN(N), FTables(dsp::SharedFftTables(N)) {}
TComplexFft::~TComplexFft() = default;

void TComplexFft::Transform(const std::complex<double>* In, std::complex<double>* Out) const {
  const TDefaultFloatEnv Env;
  std::vector<double> Re(FN), Im(FN);
  for (size_t K = 0; K < FN; ++K) Re[K] = In[K].real(), Im[K] = In[K].imag();
  dsp::FftForward(Re.data(), Im.data(), *FTables);
  const int Bits = std::countr_zero(FN);
  for (size_t R = 0; R < FN; ++R) {
    size_t K = 0;
    for (int I = 0; I < Bits; ++I) K |= ((R >> I) & 1) << (Bits - 1 - I);
    Out[K] = {Re[R], Im[R]};
  }
}

}  // namespace kestrum
