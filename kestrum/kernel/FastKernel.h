// The block engine's pieces: each block's levels, sums and samples are
// computed for many frames side by side by code built once per instruction
// set (FastKernelSimd.cpp); FastKernel.cpp makes it a TKernelEngine, which
// the driver (kestrum/kernel/Engine.h) runs on several threads.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrum/base/Stop.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Kernel.h"

namespace kestrum::fast {

// Frames per block: the unit that is read, computed by one thread and written.
constexpr int32_t kBlockFrames = 16384;
// Frames a SIMD tile may compute past the end of a block; level and sum
// buffers hold this many more entries than the block's frames.
constexpr int32_t kTilePad = 256;

// 2^29 + 1: multiplying by it splits a double at float precision.
constexpr double kSplitter = 536870913.0;

// The filter's taps as the inner loop wants them, for levels that are
// integers of at most MaxLevel in magnitude, in a run of Frames frames. A tap
// whose delay reaches back beyond the run's first frame reads only silence
// and, with a finite coefficient, adds exactly nothing: it is left out.
struct TTaps {
  TTaps(const TFirFilter& Filter, double MaxLevel, int32_t Frames = INT32_MAX);
  // A long filter's channel: Line[i], rounded to float, at delay i.
  TTaps(const std::vector<double>& Line, double MaxLevel, int32_t Frames = INT32_MAX);
  std::vector<int32_t> Delays;  // EffectiveDelay of each tap
  std::vector<double> Coefs;    // the float coefficients, widened
  int32_t MaxDelay = 0;         // frames of history a block needs
  // Whether SumTaps may keep its sums in double and round them to float with
  // a split (see SumTaps), which is exact while every product is exact in
  // double and no sum can come near the float limit: true when MaxLevel <=
  // 2^29 and MaxLevel * sum |Coefs| * (1 + 2^-20)^taps < 2^127.
  // Otherwise, and when set to false, it widens and narrows after every tap.
  bool Split = false;
};

// The taps for a run of Frames frames of Format, with the largest level of
// its integer samples. Float levels are not integers: their sums below the
// smallest normal float are not multiples of 2^-149, as the split needs, and
// a silent tap may turn a sum of -0 into +0; so float runs keep every tap
// and never split.
TTaps TapsFor(const TFirFilter& Filter, TAudioFormat Format, int32_t Frames = INT32_MAX);
TTaps TapsFor(const std::vector<double>& Line, TAudioFormat Format, int32_t Frames = INT32_MAX);

// Products SumTaps computes between two polls of the stop request (a few
// milliseconds' work), so that a long filter's block stops soon after a stop
// is asked for (kestrum/base/Stop.h), and a short filter's pays nothing measurable.
constexpr int64_t kStopPollWork = int64_t{1} << 22;

// Counts SumTaps' products and polls the stop request each time they reach
// kStopPollWork: CheckStop throws EStopped.
class TStopPoll {
public:
  void Done(int64_t Products) {
    if ((FWork += Products) >= kStopPollWork) {
      FWork = 0;
      CheckStop();
    }
  }

private:
  int64_t FWork = 0;
};

// The three steps of a block, each run on the widest instruction set this
// processor has. The ...Portable versions do the same in plain C++, for
// processors without SIMD and for the frames after the last whole vector.

// Levels[i] = the level of channel C in frame i of Raw, for i < Frames, as
// DecodeLevels (kestrum/audio/Levels.h) gives it.
// Frames of more than two channels, and 32-bit integer and 64-bit float
// samples, take plain C++ steps around the SIMD ones (FastKernelSimd.cpp).
void LoadLevels(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels);
void LoadLevelsPortable(const uint8_t* Raw, int32_t Frames, TAudioFormat Format, int C, double* Levels);

// Acc[j] = the filter's float sum, in tap order with a float rounding after
// each tap, for the frame whose level is Levels[j], for every j from 0 to
// Count rounded up to a whole tile (at most Count + kTilePad). Levels[j - d]
// is the level d frames earlier: Levels must be readable from
// Levels[-Taps.MaxDelay] to Levels[Count + kTilePad - 1].
//
// With Taps.Split, each sum stays a double holding a float value: per tap
// s = level * coef + acc, exact in double as a fused multiply-add; then s is
// rounded to float precision in double arithmetic by Veltkamp's split,
// g = s * (2^29 + 1), acc = g + (s - g), which rounds to nearest, ties to
// even, as a conversion to float does for every value in the float range.
// Sums of integer levels times float coefficients below the smallest normal
// float are multiples of 2^-149, floats already, which the split keeps.
// Polls the stop request (TStopPoll): throws EStopped when a stop is asked.
void SumTaps(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc);
void SumTapsPortable(const double* Levels, int32_t Count, const TTaps& Taps, float* Acc);

// Writes the file bytes of frames 0, 1, ... to Out, frame j's channel c
// being Acc[c][j] stored under Rule as StoreSample does (kestrum/kernel/Overflow.h):
// float data itself, else rounded to the nearest integer, ties to even, then
// StoreLevel (8-bit: + 128). Stops before the first frame with a sum
// that is not Storable; returns the frames written: Count when all are.
// Adds the written samples beyond the levels and their peak to Tally (not
// Samples).
int32_t RoundSums(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                  uint8_t* Out, TOverflowCount& Tally);
int32_t RoundSumsPortable(const float* const* Acc, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                          uint8_t* Out, TOverflowCount& Tally);
// The same for double sums (float sums scaled to another format, the FFT
// engine's sums).
int32_t RoundSums(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                  uint8_t* Out, TOverflowCount& Tally);
int32_t RoundSumsPortable(const double* const* Sums, int32_t Count, TAudioFormat Format, const TStoreRule& Rule,
                          uint8_t* Out, TOverflowCount& Tally);

// What computing one block gave.
struct TBlockResult {
  int32_t Good = 0;      // frames stored: the block's count, or the index of the first failing frame
  double BadSum = 0.0;   // when Good falls short: the failing sum (scaled) of the first channel that fails
  TOverflowCount Tally;  // what the Good frames' stores met, Samples included
};

// The one block step behind the block engine: the driver computes a run's
// blocks with it, apart, and a stream each piece of a call, in order. It holds the taps
// and the store rule of a run of Frames frames of Format, written as Target
// (Format when not given: see TRunContext::Target), dithered with the seed
// DitherSeed where that applies (TRunContext::Dither).
class TBlockEngine {
public:
  // Target: the sample format written, when not Format's (see
  // TRunContext::Target).
  TBlockEngine(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip, int32_t Frames = INT32_MAX,
               std::optional<TSampleFormat> Target = std::nullopt, std::optional<uint64_t> DitherSeed = std::nullopt);
  TBlockEngine(TTaps Taps, const TAudioFormat& Format, bool Clip, std::optional<TSampleFormat> Target = std::nullopt,
               std::optional<uint64_t> DitherSeed = std::nullopt);
  // Channel c through PerChannel[c]; Taps then holds the longest history.
  TBlockEngine(std::vector<TTaps> PerChannel, const TAudioFormat& Format, bool Clip,
               std::optional<TSampleFormat> Target = std::nullopt, std::optional<uint64_t> DitherSeed = std::nullopt);

  // Computes Count frames, at most kBlockFrames. Raw holds the file bytes of
  // the last Loaded frames up to the block's end (Loaded >= Count): their
  // levels are loaded to Levels[c][Count - Loaded] to Levels[c][Count - 1],
  // channel by channel, before any byte of Out is written, so Out may be
  // Raw's last Count frames. Levels[c] points at channel c's level of the
  // block's first frame; the Taps.MaxDelay levels before it are its history
  // (those not loaded from Raw must be in place), and Count + kTilePad after
  // it must be writable, as must Acc[c][0] to Acc[c][Count + kTilePad - 1].
  // When Raw holds the whole history (Loaded = Count + Taps.MaxDelay), the
  // channels may share one level buffer. Out gets the Good frames' bytes.
  // With a target of another format, the sums are scaled (LevelScale, in
  // double) before they are stored, and Out gets Target's bytes: then it may
  // not be Raw. Blocks whose scaled sums are all floats are stored by the
  // float steps, the others, and dithered ones, by the double rule. First is
  // the number of the block's first frame in the run: the dither's frame.
  TBlockResult Compute(const uint8_t* Raw, int32_t Loaded, int32_t Count, double* const* Levels,
                       float* const* Acc, uint8_t* Out, int64_t First) const;
  // Throws the run's EMathError when Result falls short of Count frames, First
  // being the number of the block's first frame in the run.
  void Check(const TBlockResult& Result, int32_t Count, int64_t First) const;

  const TAudioFormat Format;
  const TAudioFormat Target;
  const double Scale;  // 1 when the sample formats are the same
  const TTaps Taps;
  const TStoreRule Rule;
  const std::vector<TTaps> PerChannel;  // empty: Taps for every channel
  const std::optional<TDither> Dither;  // none when not asked or where it does not apply
};

// The fast kernel's run in blocks of BlockFrames frames (at least 1), on
// Threads threads (0: one per core, one for a light filter), whatever the
// filter, through the driver (kestrum/kernel/Engine.h); RunFastKernel runs
// it with kBlockFrames. Tests use small blocks to reach block edges with
// short files.
void RunBlocks(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
               const TFirFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames);

// For tests and benchmarks: the names of the instruction sets the steps were
// built for that this processor has, widest first (e.g. "AVX3", "AVX2",
// "SSE4", "SCALAR"), and a way to make the steps use one of them ("" restores
// the widest).
std::vector<std::string> SimdTargets();
void ForceSimdTarget(const std::string& Name);

}  // namespace kestrum::fast
