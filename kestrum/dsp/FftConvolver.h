// Uniformly partitioned overlap-save convolution in double precision: a
// filter of L taps cut into P = ceil(L / B) partitions of B taps; each block
// of B input frames is transformed with the block before it (2B points); the
// spectra of the last P blocks, each times its partition's spectrum, summed
// in partition order, transformed back, give the block's B output frames.
#pragma once

#include <complex>
#include <cstdint>
#include <climits>
#include <memory>
#include <vector>

#include "kestrum/dsp/RealFft.h"

namespace kestrum {

// The spectra of a filter's partitions, B + 1 bins each, scaled by 1 / 2B:
// built once per filter channel and shared, read only, by the convolvers of
// every source channel that goes through it.
struct TFftSpectra {
  // Taps: the filter; B: frames per block, a power of two; MaxParts: the
  // most partitions a run can reach (a run of N frames: ceil(N / B)), those
  // beyond adding only silence.
  TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts = INT32_MAX);
  const int32_t B;
  int32_t Parts = 0;
  std::vector<std::complex<double>> Bins;  // Parts spectra of B + 1 bins
};

// One channel's convolution, a block at a time.
class TFftConvolver {
public:
  // Taps: the filter; B: frames per block, a power of two.
  TFftConvolver(const std::vector<double>& Taps, int32_t B);
  // Through Filter's spectra, shared with other convolvers.
  explicit TFftConvolver(std::shared_ptr<const TFftSpectra> Filter);
  // Out[i] = sum over k of Taps[k] * In[i - k], for the B frames of In,
  // In's frames before it being those of the earlier calls (silence before
  // the first). Out may be In.
  void Process(const double* In, double* Out);
  // Forgets the signal: silence before the next block.
  void Reset();
  int32_t BlockFrames() const { return FB; }

private:
  const std::shared_ptr<const TFftSpectra> FFilter;
  const int32_t FB;
  const int32_t FParts;
  int32_t FNewest = 0;  // partition slot of the newest input spectrum
  int32_t FBlocks = 0;  // blocks since the start or Reset, up to FParts: older partitions meet silence
  TRealFft FFft;
  std::vector<std::complex<double>> FInput;   // the last FParts input spectra, a ring
  std::vector<std::complex<double>> FSum;
  std::vector<double> FWindow;  // the last block, then the new one: 2B frames
  std::vector<double> FBack;    // the products transformed back
};

}  // namespace kestrum
