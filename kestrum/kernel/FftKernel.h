// The FFT engine: uniformly partitioned overlap-save convolution in double
// precision, for filters of any length.
//
// A filter of L taps is cut into P = ceil(L / B) partitions of B taps. Each
// block of B input frames is transformed with the block before it (2B
// points); the spectra of the last P blocks, each times its partition's
// spectrum, summed in partition order, transformed back, give the block's B
// output frames. The cost per frame grows with log B and with P, not with L
// times the frame count. Every step is double precision; the transforms are
// our own (kestrum/dsp/RealFft.h): vectorised, but every instruction set
// does the same operations in the same order, without fused multiply-add,
// so the bytes are the same on every machine and with any -march.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kestrum/dsp/FftConvolver.h"
#include "kestrum/kernel/FirStream.h"
#include "kestrum/kernel/Kernel.h"
#include "kestrum/filter/LongFilter.h"

namespace kestrum {

// Memory: each partition's spectrum takes 16 (B + 1) bytes, about 16 bytes
// per tap. The engine holds them once per filter channel (shared by the
// source channels that use it) and as many input spectra per source channel,
// both limited to the partitions a run of known length reaches: for a mono
// filter of L taps on C channels about 16 L (C + 1) bytes, so 2,097,152
// taps on 64 channels take 2.2 GB for a long source and a few MB for 0.1 s.
// Runs and streams that would hold more spectra than kMaxFftSpectraBytes
// are refused (EGeneralError), before anything is read.
constexpr int64_t kMaxFftSpectraBytes = int64_t{4} << 30;

// The bytes of spectra a run of Frames frames (TRunLength::kEndless: no
// end) of Channels source channels through Filter holds, in blocks of B.
int64_t FftSpectraBytes(const TLongFilter& Filter, int Channels, int32_t B, int64_t Frames);

// Frames per block of a file run for a filter of Length taps: a power of two
// from 256 to 65536, about a quarter of the length, so that a filter has 4
// partitions (up to 262144 taps; beyond, a partition's spectra, 1 MB, still
// fit a core's second-level cache).
int32_t FftBlockFrames(size_t Length);

// How a file run through the FFT engine (blocks of FftBlockFrames, as
// MakeEngine makes it for a run that is not live) may be cut into pieces
// computed apart that give, together, the bytes of the one run: a piece
// starts at a multiple of Block frames and ends at one or at the signal's
// end, and is run from Warm frames before it (from the signal's start when
// fewer come before it), the output of those frames being dropped. Output
// block k is a function of input blocks k - P to k alone (P partitions),
// through the same arithmetic whatever came before; Warm is P + 1 blocks.
// A run's length may leave out of its plan partitions that meet only the
// silence before the signal, which add nothing: a piece's run and the whole
// one agree on every frame they share.
struct TFftPieces {
  int32_t Block;
  int64_t Warm;
};
TFftPieces FftPieces(const TLongFilter& Filter);

// A run through the FFT engine, with the same source, sink, progress and
// store rules as the other kernels (kestrum/kernel/Kernel.h, kestrum/kernel/Overflow.h),
// applied to double sums: an integer sample is the sum rounded to nearest,
// ties to even; a 32-bit float sample the sum rounded to float, a 64-bit one
// the sum itself. A sample that is not a finite number fails the run at its
// own frame (the frames before it are written), a sum that may not be stored
// at the first frame that holds one. The filter has one channel for all, or one
// per channel of Format. With Threads other than 1 (0: one per core), a second
// thread computes half the channels. BlockFrames 0 chooses FftBlockFrames.
// Over Length as the other kernels (kestrum/kernel/Kernel.h): until the signal ends,
// frames are filtered as they arrive, but leave in whole blocks: the output
// of a live source lags by less than a block.
void RunFftKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                  const TLongFilter& Filter, TRunContext& Run, int Threads = 0, int32_t BlockFrames = 0);

// The FFT engine's streams are TFirStreams (kestrum/kernel/FirStream.h) of a
// long filter; the name is kept for the hosts that use it.
using TFftStream = TFirStream;

}  // namespace kestrum
