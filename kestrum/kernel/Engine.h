// The engines behind every run and stream: one shape for the reference, the
// block (fast), the FFT and the exact engine, a factory that picks one for a
// filter, and the threaded driver that runs one over a source and a sink or
// over buffers in memory.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>

#include "kestrum/audio/Format.h"
#include "kestrum/filter/Filter.h"
#include "kestrum/kernel/Kernel.h"
#include "kestrum/kernel/Overflow.h"

namespace kestrum {

// The engines a host may ask for; Auto: the fast one for a .fir, the FFT one
// for a long filter.
enum class TEngine { Auto, Reference, Fast, Fft, Exact };

// How sums are stored (kestrum/kernel/Overflow.h): saturated or wrapped, in
// the source's sample format or Target's, dithered with the seed Dither.
struct TStoreSettings {
  bool Clip = false;
  std::optional<TSampleFormat> Target;
  std::optional<uint64_t> Dither;
};

// What one call of an engine gave: the frames written, what their stores met
// (Samples included), and the failure that stopped it, if any (an
// EMathError naming the failing frame); the frames before it are written.
struct TProcessed {
  int32_t Written = 0;
  TOverflowCount Tally;
  std::exception_ptr Failure;
};

// One engine, in the manner of an audio plug-in: prepared once for a format
// and the store settings, then fed blocks of frames in order.
//
//   std::unique_ptr<TKernelEngine> E = MakeEngine(TEngine::Auto, Filter, Format, Store);
//   TProcessed P = E->Process(In, Count, Out);   // as often as needed
//   P = E->Flush(Out);                           // the frames held back (Latency())
//   E->Reset();                                  // a new signal, from silence
//
// Frames are file bytes, interleaved, first channel first: In in Format(),
// Out in Target(). Whichever way a signal is cut into calls, the frames out
// are the same bytes.
class TKernelEngine {
public:
  virtual ~TKernelEngine() = default;

  // Readies the engine for frames of Format stored by Store, for signals of
  // at most Frames frames (TRunLength::kEndless: no bound), which lets an
  // engine size its memory to a short run; the signal starts from silence.
  // Throws EGeneralError when the engine cannot serve them.
  virtual void Prepare(const TAudioFormat& Format, const TStoreSettings& Store,
                       int64_t Frames = TRunLength::kEndless) = 0;
  const TAudioFormat& Format() const { return FFormat; }
  const TAudioFormat& Target() const { return FTarget; }

  // The most frames the engine holds back: Process writes the frames whose
  // output is complete, at most Count, and Flush the rest.
  virtual int32_t Latency() const { return 0; }
  // Filters the Count frames of In into Out. Out may be In when the formats
  // have frames of one size; otherwise they must not overlap. In is read
  // whole before Out is written. On a failure the engine stands after the
  // frames before the failing one, as if the signal had ended there.
  virtual TProcessed Process(const uint8_t* In, int32_t Count, uint8_t* Out) = 0;
  // Writes the frames held back, completed with silence, to Out (room for
  // Latency() frames); the engine then starts a new signal.
  virtual TProcessed Flush(uint8_t*) { return {}; }
  // Forgets the signal and what was held back; the frame count starts again.
  virtual void Reset() = 0;

  // The number errors give the first frame after Prepare or Reset (0 by
  // default): a piece of a longer signal names a failing frame by its place
  // in the whole.
  void NumberFrom(int64_t First) { FNumber = First; }
  int64_t Number() const { return FNumber; }

  // Blocks that may be computed apart, on any thread: History() frames
  // before a block are all its outputs need (-1: every frame before, the
  // engine computes in order through Process only). ComputeBlock then
  // computes the Count frames at Raw + History() frames, Raw holding the
  // history (silence before the signal) first; Out must not overlap Raw.
  // First: the block's first frame in the signal (from 0; errors add
  // Number()).
  virtual int32_t History() const { return -1; }
  virtual TProcessed ComputeBlock(const uint8_t* Raw, int32_t Count, uint8_t* Out, int64_t First) const;
  // Whether the filter is so light that its blocks are computed faster than
  // they are read and written: a driver left to choose then uses one thread.
  virtual bool Light() const { return false; }
  // Threads Process may use for one call (0: one per core).
  virtual void SetThreads(int) {}
  // Whether the engine must stand after the good frames of a failure, as a
  // stream does (the default); a run that ends at its failure (the
  // driver's) lets an engine keep less for it: the FFT engine then keeps no
  // copy of the blocks it would convolve again.
  void SetResumable(bool On) { FResumable = On; }
  // Whether the signal is live (a run until a stream ends), set before
  // Prepare: an engine may then trade some work for latency (the FFT engine
  // takes a growing partition plan and holds nothing back). A file run and a
  // host's stream are not live.
  virtual void SetLive(bool) {}

protected:
  TAudioFormat FFormat, FTarget;
  int64_t FNumber = 0;
  bool FResumable = true;
};

// The engine for Kind and Filter, prepared for Format, Store and Frames:
// Auto and Fast give the block engine for a .fir, Exact gives it too (its
// float sum is the fast one), Reference the frame-at-a-time engine; for a
// long filter Auto and Fft give the FFT engine, Exact the block engine over
// every tap; Fft for a .fir gives the FFT engine over its taps. A long
// filter on Reference or Fast is the caller's to refuse (CheckEngine).
// Throws EGeneralError for the FFT engine with another target format.
std::unique_ptr<TKernelEngine> MakeEngine(TEngine Kind, const TFilter& Filter, const TAudioFormat& Format,
                                          const TStoreSettings& Store, int64_t Frames = TRunLength::kEndless,
                                          bool Live = false);
std::unique_ptr<TKernelEngine> MakeReferenceEngine(const TFirFilter& Filter);
std::unique_ptr<TKernelEngine> MakeBlockEngine(const TFirFilter& Filter);
std::unique_ptr<TKernelEngine> MakeBlockEngine(const TLongFilter& Filter);
// BlockFrames 0: FftBlockFrames of the filter's length.
std::unique_ptr<TKernelEngine> MakeFftEngine(const TLongFilter& Filter, int32_t BlockFrames = 0);
// The same over taps it shares with the caller, not copied.
std::unique_ptr<TKernelEngine> MakeFftEngine(std::shared_ptr<const TLongFilter> Filter, int32_t BlockFrames = 0);

// The driver: runs Engine, prepared, over Length frames of Source into Sink
// under Run (its store settings must be Engine's), in blocks of BlockFrames
// frames (at least 1). The caller's thread reads blocks ahead while Source
// is Ready and hands them over in order, in runs that end where a progress
// step falls, each followed by its StepProgress calls; Sink.Flush() comes
// before a read that waits. Blocks that may be computed apart are computed
// by Threads threads (0: one per core, or one for a Light engine), the
// others by the caller's thread, in order, through Process, which may use
// Threads itself. Errors name frames from Number (the number of the
// run's first frame). The caller's floating-point environment is kept.
void DriveEngine(TKernelEngine& Engine, TFrameSource& Source, TFrameSink& Sink, const TRunLength& Length,
                 TRunContext& Run, int Threads, int32_t BlockFrames, int64_t Number = 0);

// The same over a whole signal in memory: In's frames (Engine's format)
// filtered into Out (its target's, the same number of frames; Out may be In
// when the formats are one). Returns what the stores met. On a failure Out
// holds the frames before the failing one.
TOverflowCount ApplyEngine(TKernelEngine& Engine, std::span<const uint8_t> In, std::span<uint8_t> Out,
                           int Threads, int64_t Number = 0);

}  // namespace kestrum
