// TFirStream filters PCM samples that a host holds in memory, block by block,
// with the same arithmetic and the same bytes as a TKestrum run over a file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "kestrum/filter/FirFile.h"
#include "kestrum/kernel/Overflow.h"
#include "kestrum/audio/Format.h"

namespace kestrum {

// A stream of frames of one format through one filter:
//
//   TFirStream Stream(ParseFirFilter(Text, "smooth.fir"), ff_stereo, ff_16bits);
//   // or TFirStream Stream(Filter, Reader.Format());
//   Stream.Filter(In, Out);   // any number of frames, as often as needed
//   Stream.Reset();           // a new signal, from silence
//
// Each call continues the signal where the last one stopped: the output of a
// signal is the same whichever way it is cut into calls, and the same as a
// file run of TKestrum over those frames (a run's first frame is the first
// after construction or Reset).
class TFirStream {
public:
  // Clip: saturate instead of wrapping, as TKestrum::Clip does (the store
  // rules of kestrum/kernel/Overflow.h).
  TFirStream(const TFirFilter& Filter, ff_channels Channels, ff_bits Bits, bool Clip = false);
  // The same for a format of 1 to MAX_CHANNELS (64) channels, of any sample
  // format (else std::invalid_argument); its rate is kept, not used.
  TFirStream(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip = false);
  ~TFirStream();
  // A stream moved from holds nothing: every member but assignment and the
  // destructor then throws std::logic_error; assigning a stream to it makes
  // it that stream.
  TFirStream(TFirStream&&) noexcept;
  TFirStream& operator=(TFirStream&&) noexcept;

  // Filters the frames of In into Out. Both hold interleaved frames, first
  // channel first, as a WAV file's data does: 8-bit samples are unsigned
  // bytes with 128 as silence, 16-bit ones little-endian words, 24-bit ones
  // three bytes, low byte first, 32-bit ones four, float ones little-endian
  // IEEE singles or doubles. Out may be In
  // (filtering in place) but must not overlap it otherwise.
  // Throws std::invalid_argument when the sizes differ or are not a whole
  // number of frames. Throws EMathError, as a run does, when a sum overflows:
  // Out then holds the frames before that one, and the stream stands after
  // them as if In had ended there (Frames() is the failing frame's number).
  // When a float sample that is not a finite number lies among those the
  // failing sum holds, the error names that sample's frame instead
  // (NonFiniteSampleError), as a file run does.
  // It computes in the default floating-point environment, whatever the
  // calling thread has set, and restores the caller's (kestrum/base/FloatEnv.h).
  void Filter(std::span<const uint8_t> In, std::span<uint8_t> Out);
  // The same for 16-bit or float samples as numbers (ff_16bits or
  // ff_32bitsFloat streams only, else std::invalid_argument); sizes count
  // samples, not frames.
  void Filter(std::span<const int16_t> In, std::span<int16_t> Out);
  void Filter(std::span<const float> In, std::span<float> Out);

  // Forgets the signal: the next frame is filtered as a run's first, after
  // silence.
  void Reset();
  // The number that the errors give the first frame after construction or
  // Reset (0 by default): a stream over a piece of a longer signal names a
  // failing frame by its place in the whole. Frames() still counts from 0.
  void NumberFrom(int64_t First);

  const TAudioFormat& Format() const;
  int Channels() const;
  int FrameBytes() const;
  // Frames filtered since construction or the last Reset.
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
