// TFirStream filters PCM samples that a host holds in memory, block by block,
// through any engine (kestrum/kernel/Engine.h), with the same arithmetic and
// the same bytes as a TKestrum run over a file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrum/filter/Filter.h"
#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/Overflow.h"
#include "kestrum/audio/Format.h"

namespace kestrum {

// A stream of frames of one format through one filter:
//
//   TFirStream Stream(ParseFirFilter(Text, "smooth.fir"), ff_stereo, ff_16bits);
//   // or TFirStream Stream(ReadFilter("hall.wav"), Reader.Format());
//   Stream.Filter(In, Out);   // any number of frames, as often as needed
//   Stream.Flush();           // the frames an FFT engine held back
//   Stream.Reset();           // a new signal, from silence
//
// Each call continues the signal where the last one stopped: the output of a
// signal is the same whichever way it is cut into calls, and the same as a
// file run of TKestrum over those frames (a run's first frame is the first
// after construction, Reset or Flush). A .fir goes through the block engine,
// a long filter through the FFT engine, which hands its frames on in whole
// blocks: its output lags by less than a block (Latency()).
class TFirStream {
public:
  // Clip: saturate instead of wrapping, as TKestrum::Clip does (the store
  // rules of kestrum/kernel/Overflow.h).
  TFirStream(const TFirFilter& Filter, ff_channels Channels, ff_bits Bits, bool Clip = false);
  // The same for a format of 1 to MAX_CHANNELS (64) channels, of any sample
  // format (else std::invalid_argument); its rate is kept, not used.
  TFirStream(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip = false);
  // A long filter of one channel, or one per channel of Format (else
  // EGeneralError), through the FFT engine.
  TFirStream(const TLongFilter& Filter, const TAudioFormat& Format, bool Clip = false);
  // A filter of either kind through the engine Engine (the FFT engine's
  // refusals hold: see MakeEngine).
  TFirStream(const TFilter& Filter, const TAudioFormat& Format, bool Clip = false, TEngine Engine = TEngine::Auto);
  ~TFirStream();
  // A stream moved from holds nothing: every member but assignment and the
  // destructor then throws std::logic_error; assigning a stream to it makes
  // it that stream.
  TFirStream(TFirStream&&) noexcept;
  TFirStream& operator=(TFirStream&&) noexcept;

  // Filters the frames of In into Out and returns how many frames it wrote
  // at Out's start: all of In's but for an engine that holds frames back
  // (Latency()), which writes those now complete, never more than In's.
  // Both hold interleaved frames, first channel first, as a WAV file's data
  // does: 8-bit samples are unsigned bytes with 128 as silence, 16-bit ones
  // little-endian words, 24-bit ones three bytes, low byte first, 32-bit
  // ones four, float ones little-endian IEEE singles or doubles. Out may be
  // In (filtering in place) but must not overlap it otherwise.
  // Throws std::invalid_argument when the sizes differ or are not a whole
  // number of frames. Throws EMathError, as a run does, when a sum overflows:
  // Out then holds the frames written before that one (Frames() counts
  // them; those held back come with Flush), and the stream stands after the
  // good frames as if In had ended there. When a float sample that is not a
  // finite number lies among those the failing sum holds, the error names
  // that sample's frame instead (NonFiniteSampleError), as a file run does.
  // It computes in the default floating-point environment, whatever the
  // calling thread has set, and restores the caller's (kestrum/base/FloatEnv.h).
  int64_t Filter(std::span<const uint8_t> In, std::span<uint8_t> Out);
  // The same for 16-bit or float samples as numbers (ff_16bits or
  // ff_32bitsFloat streams only, else std::invalid_argument); sizes count
  // samples, not frames.
  int64_t Filter(std::span<const int16_t> In, std::span<int16_t> Out);
  int64_t Filter(std::span<const float> In, std::span<float> Out);
  // The same, returning the bytes of the frames written.
  std::vector<uint8_t> Filter(std::span<const uint8_t> In);
  // The bytes of the frames held back, completed with silence; the next
  // frame then starts a new signal. Nothing for an engine without latency.
  // Throws as Filter does.
  std::vector<uint8_t> Flush();

  // Forgets the signal and what was held back: the next frame is filtered
  // as a run's first, after silence.
  void Reset();
  // The number that the errors give the first frame after construction or
  // Reset (0 by default): a stream over a piece of a longer signal names a
  // failing frame by its place in the whole. Frames() still counts from 0.
  void NumberFrom(int64_t First);

  const TAudioFormat& Format() const;
  int Channels() const;
  int FrameBytes() const;
  // The most frames held back (0 but for the FFT engine), and the frames
  // that leave together (Latency() + 1: the FFT engine's block).
  int32_t Latency() const;
  int32_t BlockFrames() const;
  // Frames written since construction or the last Reset.
  int64_t Frames() const;
  // What their stores met, as TKestrum::Overflow: the samples, those beyond
  // the sample width's levels (wrapped, or saturated with Clip), the peak.
  const TOverflowCount& Overflow() const;

private:
  struct TState;
  TState& State() const;
  std::unique_ptr<TState> F;
};

}  // namespace kestrum
