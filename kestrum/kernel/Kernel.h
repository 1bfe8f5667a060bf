// The convolution kernels: NbEch frames from a source through the filter's
// taps to a sink, under a run context that holds what the host sets and reads.
#pragma once

#include <cstdint>
#include <climits>
#include <functional>
#include <optional>
#include <utility>

#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Overflow.h"
#include "kestrum/audio/Format.h"

namespace kestrum {

// Where a run's frames come from: the file bytes of the next Count frames,
// with silence past the end of the signal (8-bit: 0x80, else 0).
//
// A live source (a pipe, say) also tells what has arrived: ReadArrived gives
// the frames at hand, so that a run filters each piece as it comes, and
// Ready whether a read would wait, so that a run hands on its output first.
class TFrameSource {
public:
  virtual ~TFrameSource() = default;
  virtual void ReadFrames(uint8_t* Dest, int32_t Count) = 0;
  // From 1 to Max frames (Max >= 1), waiting only for the first; 0 once the
  // signal has ended. By default Max frames of ReadFrames: a source that never
  // ends and never waits.
  virtual int32_t ReadArrived(uint8_t* Dest, int32_t Max) {
    ReadFrames(Dest, Max);
    return Max;
  }
  // Whether the next read returns without waiting.
  virtual bool Ready() { return true; }
};

// Where a run's frames go: Count frames' file bytes, in the run's target
// format (TRunContext::TargetFormat).
class TFrameSink {
public:
  virtual ~TFrameSink() = default;
  virtual void WriteFrames(const uint8_t* Frames, int32_t Count) = 0;
  // Passes on at once whatever the sink holds back; a run calls it before it
  // waits for its source, so that a live output keeps up with a live input.
  virtual void Flush() {}
};

// How many frames a run filters: Frames, padded with silence past the end of
// the source's signal; or, when UntilEnd, until the signal ends, Frames at
// most (kEndless: no limit).
struct TRunLength {
  static constexpr int64_t kEndless = INT64_MAX;
  int64_t Frames = 0;
  bool UntilEnd = false;
};

// What a run shares with its host: the store setting (see kestrum/kernel/Overflow.h),
// the count of what the stores met, and a progress step: OnStep(Done) is
// called each time the frames done reach a multiple of Step. Either may raise
// an error, which ends the run.
class TRunContext {
public:
  using TOnStep = std::function<void(int64_t Done)>;
  TRunContext(bool Clip, TOverflowCount& Overflow, int32_t Step, TOnStep OnStep = {})
      : Clip(Clip), Overflow(Overflow), FStep(Step), FOnStep(std::move(OnStep)) {}

  const bool Clip;
  TOverflowCount& Overflow;
  // The sample format written, when it is not the source's: the sums are
  // scaled to its levels (LevelScale) and stored by its rule. Set before
  // the run.
  std::optional<TSampleFormat> Target;
  // The seed of the dither asked for (kestrum/kernel/Overflow.h: TDither), which the
  // kernels add where DitherApplies; none: sums are rounded as they are.
  std::optional<uint64_t> Dither;

  // The format of the frames written for frames of Source.
  TAudioFormat TargetFormat(TAudioFormat Source) const {
    if (Target) Source.Samples = *Target;
    return Source;
  }

  // Counts one frame done.
  void StepProgress() {
    if (++FDone % FStep == 0) Report();
  }
  // The same as Frames calls of StepProgress(), for Frames from 1 to
  // FramesToProgress().
  void StepProgress(int32_t Frames) {
    FDone += Frames;
    if (FDone % FStep == 0) Report();
  }
  // Frames until the next report, from 1 to Step.
  int32_t FramesToProgress() const { return static_cast<int32_t>(FStep - FDone % FStep); }
  int64_t Done() const { return FDone; }

private:
  void Report() {
    if (FOnStep) FOnStep(FDone);
  }
  const int32_t FStep;
  const TOnStep FOnStep;
  int64_t FDone = 0;
};

// Both kernels compute in the default floating-point environment (rounding to
// nearest, subnormals kept, whatever the calling thread has set: see
// kestrum/base/FloatEnv.h) and restore the caller's before returning; the source,
// the sink and the progress step are called in the default one too.
//
// The reference kernel, per frame n, in this order: fetch it from Source;
// store each channel's level (8-bit: byte - 128; 16-, 24- and 32-bit: the
// sample; float: the sample's value, a 64-bit one at full double precision)
// in the channel's ring of FIR_HISTORY_SIZE entries at position p; for each
// tap i in table order,
//   acc = float(double(acc) + double(ring[(p - EffectiveDelay(Delays[i])) mod FIR_HISTORY_SIZE]) * double(Coefs[i]))
// (every product is exact in double but for the levels of 32-bit integers
// and 64-bit floats, whose products are rounded to double); store acc by the store rules of
// kestrum/kernel/Overflow.h under Run.Clip, in Run's target format (scaled to its
// levels first, in double, when it differs, then dithered in double when
// Run.Dither asks and DitherApplies); hand the frame to Sink; advance p;
// Run.StepProgress().
// Throws EMathError, at the first frame concerned, when a sum may not be
// stored (Storable). Adds the samples written, and those beyond the levels,
// to Run.Overflow. Nothing is fetched or written when NbEch <= 0.
void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                        const TFirFilter& Filter, TRunContext& Run);
// The same over Length, through the driver (kestrum/kernel/Engine.h): what
// ReadArrived gives when the run goes until the signal ends, and
// Sink.Flush() before a read that would wait.
void RunReferenceKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format,
                        const TRunLength& Length, const TFirFilter& Filter, TRunContext& Run);

// The same frames, bytes, progress reports, errors and overflow counts as
// RunReferenceKernel, in the same order, computed faster, in blocks (see
// kestrum/kernel/FastKernel.h); it counts frames with StepProgress(n) after each run
// of frames it hands to Sink. Only after a run that the sink, a progress
// step or a stop request (kestrum/base/Stop.h, polled within the sums too) stopped,
// the counts cover just the blocks handed over whole.
// Threads: how many threads it may use, 0 for one per core.
void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, int32_t NbEch,
                   const TFirFilter& Filter, TRunContext& Run, int Threads);
// The same over Length. Each block is what ReadArrived gives (at most a
// block), so that a live source's frames are filtered as they come; blocks
// are read ahead only while Source is Ready, and Sink.Flush() is called
// before a read that waits, once every block read has been handed over.
void RunFastKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                   const TFirFilter& Filter, TRunContext& Run, int Threads);

// Throws the EMathError for a sum that Rule does not let be stored; Frame
// (from 0) goes into the message, and the sum in the shortest form that
// reads back as its type.
[[noreturn]] void ThrowUnstorable(float Sum, const TStoreRule& Rule, int64_t Frame);
[[noreturn]] void ThrowUnstorable(double Sum, const TStoreRule& Rule, int64_t Frame);

}  // namespace kestrum
