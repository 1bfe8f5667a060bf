// The convolution kernels: NbEch frames from the reader through the filter's
// taps to the writer.
#pragma once

#include <cstdint>

#include "fir/FirFile.h"
#include "kernel/Overflow.h"
#include "wav/ReadWavFile.h"
#include "wav/WriteWavFile.h"

namespace kestrum {

class TKestrum;

constexpr int FIR_HISTORY_SIZE = 16384;  // frames of history per channel
constexpr uint32_t FIR_HISTORY_MASK = 0x3FFF;

// Per frame n, in this order: fetch it; store each channel's level (8-bit:
// byte - 128; 16- and 24-bit: the sample; float: the sample's value) in the
// channel's ring of FIR_HISTORY_SIZE entries at position p; for each tap i in
// table order,
//   acc = float(double(acc) + double(ring[(p - Delays[i]) & 0x3FFF]) * double(Coefs[i]))
// (every product is exact in double); write acc itself for float data, else
// acc rounded to the nearest integer, ties to even (8-bit: + 128), of which
// the writer keeps the low bits; with Progress.Clip, a sample beyond the
// levels (float: beyond -1 to 1) becomes the nearest one; advance p;
// Progress.StepProgress().
// Throws EMathError, at the first frame concerned, when an accumulator is not
// finite or, for integer data without Clip, its rounded value leaves signed
// 32 bits. Adds the samples written, and those beyond the levels, to
// Progress.Overflow.
// Nothing is fetched or written when NbEch <= 0.
void RunReferenceKernel(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
                        const TFirFilter& Filter, TKestrum& Progress);

// Throws the EMathError for a sum that Rule does not let be stored; Frame
// (from 0) goes into the message.
[[noreturn]] void ThrowUnstorable(float Acc, const TStoreRule& Rule, int64_t Frame);

}  // namespace kestrum

namespace kestrum {

// The same frames, bytes, progress reports, errors and overflow counts as
// RunReferenceKernel, in the same order, computed faster; it counts frames
// with StepProgress(n) after each run of frames it writes. Only after a run
// that a write or a progress handler stopped, the counts cover just the
// blocks handed over whole. Threads: how many threads it may use, 0 for one
// per core.
void RunFastKernel(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
                   const TFirFilter& Filter, TKestrum& Progress, int Threads);

}  // namespace kestrum
