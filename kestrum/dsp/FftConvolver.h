// Partitioned overlap-save convolution in double precision. A filter is cut
// into partitions by a plan: segments, each of partitions of one block size,
// one after the other. Each block of B input frames is transformed with the
// block before it (2B points); the spectra of a segment's last P blocks, each
// times its partition's spectrum, summed in partition order, transformed
// back, give B frames of that segment's part of the output.
//
// A uniform plan (one segment) suits files: large blocks, few partitions. A
// growing plan suits live sources: a small first block, so that output
// leaves soon after its input, then larger ones further along the filter,
// each starting late enough that its block is complete before its output is
// due. A plan fixes the arithmetic: the same plan gives the same bits
// whichever way the signal is cut into calls.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrum/dsp/RealFft.h"

namespace kestrum {

// Parts partitions of Block taps each (Block a power of two).
struct TFftSegment {
  int32_t Block;
  int32_t Parts;
  bool operator==(const TFftSegment&) const = default;
};
using TFftPlan = std::vector<TFftSegment>;

// One segment of blocks of B for Length taps, at most MaxParts partitions
// (a run of N frames reaches ceil(N / B); those beyond add only silence).
TFftPlan UniformFftPlan(size_t Length, int32_t B, int32_t MaxParts = INT32_MAX);
// Blocks of First, then four times larger every three partitions, up to
// Largest, which takes the rest: output leaves a block of First frames after
// its input, at about the cost of uniform blocks of Largest.
TFftPlan GrowingFftPlan(size_t Length, int32_t First, int32_t Largest);

// The spectra of a filter's partitions, scaled by 1 / 2B: built once per
// filter channel and shared, read only, by the convolvers of every source
// channel that goes through it.
struct TFftSpectra {
  // Taps: the filter; B: frames per block, a power of two; MaxParts: as
  // UniformFftPlan.
  TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts = INT32_MAX);
  TFftSpectra(const std::vector<double>& Taps, TFftPlan Plan);
  const TFftPlan Plan;
  const int32_t B;  // the first block
  // Per segment, its partitions' spectra one after the other (TRealFft's
  // layout, 2 Block doubles each), and the tap where the segment starts.
  std::vector<std::vector<double>> Bins;
  std::vector<int64_t> Offsets;
};

// One channel's convolution, a block at a time.
class TFftConvolver {
public:
  // Taps: the filter; B: frames per block, a power of two.
  TFftConvolver(const std::vector<double>& Taps, int32_t B);
  // Through Filter's spectra, shared with other convolvers.
  explicit TFftConvolver(std::shared_ptr<const TFftSpectra> Filter);
  ~TFftConvolver();
  TFftConvolver(TFftConvolver&&) noexcept;
  // Out[i] = sum over k of Taps[k] * In[i - k], for the BlockFrames() frames
  // of In, In's frames before it being those of the earlier calls (silence
  // before the first). Out may be In.
  void Process(const double* In, double* Out);
  // Forgets the signal: silence before the next block.
  void Reset();
  int32_t BlockFrames() const { return FB; }
  // Frames that an input frame may wait for its output: a block is
  // gathered before it is computed.
  int32_t Latency() const { return FB; }

private:
  struct TSegment;
  void Run(TSegment& S, size_t Index);
  const std::shared_ptr<const TFftSpectra> FFilter;
  const int32_t FB;
  std::vector<TSegment> FSegments;
  std::vector<double> FSum, FBack;  // scratch for the largest block
  int64_t FFrames = 0;              // frames since the start or Reset
};

}  // namespace kestrum
