// Partitioned overlap-save convolution in double precision. A filter is cut
// into partitions by a plan: segments, each of partitions of one block size,
// one after the other. Each block of B input frames is transformed with the
// block before it (2B points); the spectra of a segment's last P blocks, each
// times its partition's spectrum, summed in partition order, transformed
// back, give B frames of that segment's part of the output.
//
// A uniform plan (one segment) suits files: large blocks, few partitions;
// frames leave a block at a time. A growing plan suits live sources: the
// first taps are summed directly, frame by frame, and the segments after
// them start late enough (at a tap no lower than their block) that each
// block is complete before its output is due, so any frame's output can
// leave as soon as the frame arrives. A plan fixes the arithmetic: the same
// plan gives the same bits whichever way the signal is cut into calls.
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
// Direct taps summed frame by frame, then the segments' partitions.
struct TFftPlan {
  int32_t Direct = 0;
  std::vector<TFftSegment> Segments;
  bool operator==(const TFftPlan&) const = default;
};

// One segment of blocks of B for Length taps, at most MaxParts partitions
// (a run of N frames reaches ceil(N / B); those beyond add only silence).
TFftPlan UniformFftPlan(size_t Length, int32_t B, int32_t MaxParts = INT32_MAX);
// First taps summed directly; then blocks of First, growing Growth times
// every Growth - 1 partitions, up to Largest, which takes the rest. The
// direct sum costs First multiply-adds a frame; every size adds a transform
// there and back, about log2(2 Block) times 10 operations a frame.
TFftPlan GrowingFftPlan(size_t Length, int32_t First, int32_t Largest, int32_t Growth = 4);

// The spectra of a filter's partitions, scaled by 1 / 2B: built once per
// filter channel and shared, read only, by the convolvers of every source
// channel that goes through it.
struct TFftSpectra {
  // Taps: the filter; B: frames per block, a power of two; MaxParts: as
  // UniformFftPlan.
  TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts = INT32_MAX);
  TFftSpectra(const std::vector<double>& Taps, TFftPlan Plan);
  // Over taps held elsewhere (a long filter's channel), not copied.
  TFftSpectra(std::shared_ptr<const std::vector<double>> Taps, TFftPlan Plan);
  ~TFftSpectra();
  // Segment I's partitions' spectra one after the other (TRealFft's layout,
  // 2 Block doubles each), made when first asked for: a live source's first
  // frames need none, and its later segments only once their first block is
  // complete. Safe from several threads.
  const std::vector<double>& Bins(size_t I) const;

  const TFftPlan Plan;
  const int32_t B;               // frames per call: the block of a uniform plan, else Direct
  std::vector<double> Head;      // the Direct taps
  std::vector<int64_t> Offsets;  // per segment, the tap where it starts

private:
  struct TLazy;
  const std::shared_ptr<const std::vector<double>> FTaps;
  std::unique_ptr<TLazy> FLazy;
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
  void Process(const double* In, double* Out) { Process(In, Out, FB); }
  // The same for Count frames: a multiple of BlockFrames() with a uniform
  // plan, any number with a growing one.
  void Process(const double* In, double* Out, int32_t Count);
  // Forgets the signal: silence before the next block.
  void Reset();
  int32_t BlockFrames() const { return FB; }
  // Frames that an input frame may wait for its output: a uniform plan
  // gathers a block before it computes it; a growing one none.
  int32_t Latency() const { return FHead.empty() ? FB : 0; }

  // Segment I's spectra and memory (blocks in the plan's order), made when
  // its first block completes, or before by this call, which may come from
  // another thread while the convolver runs: a live source's later segments
  // then find all made, instead of holding their first block's output for
  // transforms and fresh memory (milliseconds for a long filter).
  size_t Segments() const { return FSegments.size(); }
  void MakeSegment(size_t I);

private:
  struct TSegment;
  void Run(TSegment& S, size_t Index);
  void Feed(TSegment& S, size_t Index, const double* In, int32_t Count);
  const std::shared_ptr<const TFftSpectra> FFilter;
  const int32_t FB;
  std::vector<std::unique_ptr<TSegment>> FSegments;
  std::vector<double> FHead;        // the direct taps
  std::vector<double> FLine;        // their Direct - 1 frames of history, then a piece
  int64_t FFrames = 0;              // frames since the start or Reset
};

}  // namespace kestrum
