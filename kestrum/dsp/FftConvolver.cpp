// Uniformly partitioned overlap-save convolution of one channel.
#include "kestrum/dsp/FftConvolver.h"

#include <algorithm>

#include "kestrum/base/FloatEnv.h"

namespace kestrum {

using TComplex = std::complex<double>;

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts) : B(B) {
  const TDefaultFloatEnv Env;
  const size_t Bins = size_t(B) + 1;
  const size_t All = std::max<size_t>(1, (Taps.size() + size_t(B) - 1) / size_t(B));
  Parts = static_cast<int32_t>(std::min<size_t>(All, size_t(std::max(MaxParts, 1))));
  this->Bins.resize(Bins * size_t(Parts));
  // Partition p: taps p*B to p*B + B - 1 in the window's first half. The
  // products' transform back is 2B times too large: the scale, a power of
  // two, is exact here.
  const double Scale = 1.0 / (2.0 * B);
  TRealFft Fft(B);
  std::vector<double> Window(2 * size_t(B));
  for (int32_t P = 0; P < Parts; ++P) {
    std::fill(Window.begin(), Window.end(), 0.0);
    const size_t From = size_t(P) * size_t(B);
    const size_t To = std::min(Taps.size(), From + size_t(B));
    for (size_t I = From; I < To; ++I) Window[I - From] = Taps[I] * Scale;
    Fft.Forward(Window.data(), &this->Bins[size_t(P) * Bins]);
  }
}

TFftConvolver::TFftConvolver(const std::vector<double>& Taps, int32_t B)
    : TFftConvolver(std::make_shared<const TFftSpectra>(Taps, B)) {}

TFftConvolver::TFftConvolver(std::shared_ptr<const TFftSpectra> Filter)
    : FFilter(std::move(Filter)), FB(FFilter->B), FParts(FFilter->Parts), FFft(FB),
      FInput((size_t(FB) + 1) * size_t(FParts)), FSum(size_t(FB) + 1), FWindow(2 * size_t(FB)) {}

void TFftConvolver::Reset() {
  std::fill(FInput.begin(), FInput.end(), TComplex());
  std::fill(FWindow.begin(), FWindow.end(), 0.0);
  FNewest = 0;
  FBlocks = 0;
}

void TFftConvolver::Process(const double* In, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = size_t(FB);
  const size_t Bins = B + 1;
  std::copy(FWindow.begin() + std::ptrdiff_t(B), FWindow.end(), FWindow.begin());
  std::copy(In, In + B, FWindow.begin() + std::ptrdiff_t(B));
  FNewest = (FNewest + 1) % FParts;
  FBlocks = std::min(FBlocks + 1, FParts);
  FFft.Forward(FWindow.data(), &FInput[size_t(FNewest) * Bins]);
  // Sum[k] = sum over p, in order, of Input(block - p)[k] * Filter(p)[k],
  // in real arithmetic that the compiler may vectorise but not fuse. The
  // partitions that meet only the silence before the first block add zeros,
  // which leave a sum as it is: they are skipped.
  double* const Sum = reinterpret_cast<double*>(FSum.data());
  std::fill(Sum, Sum + 2 * Bins, 0.0);
  for (int32_t P = 0; P < FBlocks; ++P) {
    const int32_t Slot = (FNewest - P + FParts) % FParts;
    const double* const X = reinterpret_cast<const double*>(&FInput[size_t(Slot) * Bins]);
    const double* const H = reinterpret_cast<const double*>(&FFilter->Bins[size_t(P) * Bins]);
    for (size_t K = 0; K < 2 * Bins; K += 2) {
      Sum[K] += X[K] * H[K] - X[K + 1] * H[K + 1];
      Sum[K + 1] += X[K] * H[K + 1] + X[K + 1] * H[K];
    }
  }
  // The window's second half is the block's output; the first wraps round.
  std::vector<double>& Back = FBack;
  Back.resize(2 * B);
  FFft.Inverse(FSum.data(), Back.data());
  std::copy(Back.begin() + std::ptrdiff_t(B), Back.end(), Out);
}

}  // namespace kestrum
