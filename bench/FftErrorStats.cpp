// The FFT engine's error against a direct convolution summed in long double,
// for the lengths of the long-filter benchmark, with a file run's plan and a
// live source's: a random signal at full scale through a decaying noise
// response of unit energy; 2000 output frames drawn at random (from the
// second block on, where every partition is busy) are summed directly and
// compared. Prints the largest and the RMS error as
// fractions of full scale, and how many of those frames would round to
// another 16-bit sample than the direct sum does.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kestrum/kernel/FftKernel.h"

int main() {
  using namespace kestrum;
  std::mt19937_64 R(2026);
  std::normal_distribution<double> Normal(0.0, 1.0);
  std::uniform_real_distribution<double> Level(-1.0, 1.0);
  std::printf("%9s %7s %12s %12s %12s\n", "taps", "block", "max error", "rms error", "16-bit diff");
  for (const size_t Length : {4096u, 65536u, 262144u})
    for (const bool Live : {false, true}) {
      std::vector<double> Taps(Length);
      double Energy = 0;
      for (size_t I = 0; I < Length; ++I) {
        Taps[I] = Normal(R) * std::exp(-6.9 * double(I) / double(Length));  // -60 dB at the end
        Energy += Taps[I] * Taps[I];
      }
      for (double& T : Taps) T /= std::sqrt(Energy);
      const int32_t B = FftBlockFrames(Length);
      const size_t Frames = 2 * Length + 4 * size_t(B);
      std::vector<double> X(Frames), Y(Frames);
      for (double& V : X) V = Level(R);
      TFftConvolver Convolver(std::make_shared<const TFftSpectra>(
          Taps, Live ? GrowingFftPlan(Length, 128, B, 8) : UniformFftPlan(Length, B)));
      for (size_t At = 0; At + size_t(B) <= Frames; At += size_t(B)) Convolver.Process(&X[At], &Y[At], B);
      std::uniform_int_distribution<size_t> Pick(size_t(B), Frames - 1);
      double Max = 0, Square = 0;
      int Differ = 0;
      constexpr int kSamples = 2000;
      for (int S = 0; S < kSamples; ++S) {
        const size_t N = Pick(R);
        long double Sum = 0;
        for (size_t K = 0; K < Length && K <= N; ++K) Sum += static_cast<long double>(Taps[K]) * X[N - K];
        const double Want = static_cast<double>(Sum);
        const double Error = std::fabs(Y[N] - Want);
        Max = std::max(Max, Error);
        Square += Error * Error;
        Differ += std::nearbyint(Y[N] * 32768) != std::nearbyint(Want * 32768);
      }
      std::printf("%9zu %7s %12.3e %12.3e %7d/%d\n", Length, Live ? "live" : std::to_string(B).c_str(), Max,
                  std::sqrt(Square / kSamples), Differ, kSamples);
    }
}
