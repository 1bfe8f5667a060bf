// Cases for the kernels' tests: a format, frames and a filter, run through
// real files by either kernel, and what the run showed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Overflow.h"
#include "tests/TestUtil.h"

namespace kestrum::test {

struct TCase {
  int Channels = 1, Bits = 16;  // Bits 32: float
  Bytes Data;         // sample bytes
  int32_t NbEch = 0;  // frames to filter; past the data they are silence
  TFirFilter Filter;
  bool Clip = false;
  // The source's samples when Bits does not name them (32-bit integers,
  // 64-bit floats), and the target's when they are not the source's.
  std::optional<TSampleFormat> Samples, Target;
  std::optional<uint64_t> Dither;  // the seed, when dithered (TRunContext::Dither)

  TAudioFormat Format() const {
    return {Samples.value_or(Bits == 32 ? TSampleFormat::Float32 : SampleFormatOf(Bits == 16, Bits == 24, false)),
            Channels, 8000};
  }
};


// What a run shows: the bytes handed to the writer, the progress reports,
// the error message and the overflow counts.
struct TOutcome {
  Bytes Out;
  std::vector<int32_t> Progress;
  std::string Error;
  TOverflowCount Overflow;
  bool operator==(const TOutcome&) const = default;
};

// The reference kernel's run of C.
TOutcome RunReference(const TCase& C);
// The FFT engine's run of C's taps as a long filter (LongFilterOf), in
// blocks of Block frames (0: the engine's choice).
TOutcome RunFft(const TCase& C, int Threads, int32_t Block = 0);
// The fast kernel's, in blocks of Block frames (kBlockFrames: through the
// public entry point); a progress handler throws when it reaches ThrowAt.
TOutcome RunFast(const TCase& C, int Threads, int32_t Block, int32_t ThrowAt = -1);
// C's frames (C.NbEch is ignored) as a live source hands them over, in
// pieces of random sizes with random waits between them, through the fast
// kernel (blocks of Block frames, Threads threads) or, with Threads 0, the
// reference kernel, until the source ends. Fails the test when a frame read
// has not been flushed to the sink by the time the source waits.
TOutcome RunArriving(const TCase& C, int Threads, int32_t Block, uint32_t Seed);
// Runs Check with each instruction set forced in turn, then restores the widest.
void OnEverySimdTarget(const std::function<void()>& Check);
void AddTap(TFirFilter& F, int32_t Delay, float Coef);

// A random case: any format, a length around a block edge or beyond the
// history, delays from anywhere in 32 bits, and coefficients of one kind:
// plain, ties, subnormal, near the float limit, making sums beyond 32 bits or
// with sums near 2^127 whose filters fall on either side of the split's guard.
TCase RandomCase(std::mt19937& R, int32_t Block);

}  // namespace kestrum::test
namespace kestrum::test {
// What a failing comparison shows of an outcome.
inline void PrintTo(const TOutcome& O, std::ostream* S) {
  *S << "out " << O.Out.size() << " progress " << O.Progress.size() << " error '" << O.Error << "' overflow "
     << O.Overflow.Samples << "/" << O.Overflow.Overflowed;
}
}  // namespace kestrum::test
