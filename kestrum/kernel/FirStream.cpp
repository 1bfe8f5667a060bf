// TFirStream: the block engine over callers' buffers, with the levels of the
// last frames kept as the next call's history.
#include "kestrum/kernel/FirStream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/kernel/FastKernel.h"

namespace kestrum {

// Each channel's levels live in one buffer: the History levels before Pos
// are the history of the frame whose level goes to Pos. A block's levels are
// appended at Pos; when the buffer is full, the history moves back to the
// front, so that moving costs at most one level per frame filtered.
struct TFirStream::TState {
  TState(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip)
      : Engine(Filter, Format, Clip), History(Engine.Taps.MaxDelay), Overflow(TOverflowCount::For(Format)),
        Levels(static_cast<size_t>(Format.Channels),
               std::vector<double>(2 * static_cast<size_t>(History) + fast::kBlockFrames + fast::kTilePad)),
        Acc(static_cast<size_t>(Format.Channels), std::vector<float>(fast::kBlockFrames + fast::kTilePad)) {}

  void Reset() {
    for (std::vector<double>& L : Levels) std::fill_n(L.begin(), std::min<size_t>(L.size(), History), 0.0);
    Pos = History;
    Frames = 0;
    Overflow = TOverflowCount::For(Engine.Format);
  }

  // Filters Count frames, at most kBlockFrames.
  void FilterBlock(const uint8_t* In, int32_t Count, uint8_t* Out) {
    if (Pos + Count > 2 * History + fast::kBlockFrames) {
      for (std::vector<double>& L : Levels)
        if (!L.empty()) std::copy(L.begin() + (Pos - History), L.begin() + Pos, L.begin());
      Pos = History;
    }
    double* At[MAX_CHANNELS];
    float* Sums[MAX_CHANNELS];
    for (size_t C = 0; C < Levels.size(); ++C) {
      At[C] = Levels[C].data() + Pos;
      Sums[C] = Acc[C].data();
    }
    const fast::TBlockResult Result = Engine.Compute(In, Count, Count, At, Sums, Out, Frames);
    // After a failing frame the stream stands after the good ones, as if In
    // had ended there.
    Overflow.Add(Result.Tally);
    Pos += Result.Good;
    const int64_t First = Frames;
    Frames += Result.Good;
    if (Result.Good < Count && Engine.Format.Float()) ThrowNonFinite(At, First, Result.Good);
    Engine.Check(Result, Count, Number + First);
  }

  // A sample that is not a finite number makes every sum that holds it fail:
  // the first one in the failing frame's history, or in the frame itself, is
  // the cause. At: the block's first levels; First: its frame; Bad: the
  // failing frame in it.
  void ThrowNonFinite(double* const* At, int64_t First, int32_t Bad) const {
    for (int32_t I = -History; I <= Bad; ++I)
      for (size_t C = 0; C < Levels.size(); ++C)
        if (!std::isfinite(At[C][I])) throw NonFiniteSampleError(Number + First + I);
  }

  const fast::TBlockEngine Engine;
  const int32_t History;  // levels kept before Pos
  TOverflowCount Overflow;
  std::vector<std::vector<double>> Levels;  // one per channel
  std::vector<std::vector<float>> Acc;
  int32_t Pos = History;
  int64_t Frames = 0;
  int64_t Number = 0;  // the number of frame 0 in errors
};

TFirStream::TFirStream(const TFirFilter& Filter, ff_channels Channels, ff_bits Bits, bool Clip)
    : TFirStream(Filter, FormatOf(Channels, Bits), Clip) {
  if (Channels != ff_mono && Channels != ff_stereo)
    throw std::invalid_argument("TFirStream: ff_multichannel does not say how many channels; give a TAudioFormat");
}

TFirStream::TFirStream(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip) {
  if (Format.Channels < 1 || Format.Channels > MAX_CHANNELS)
    throw std::invalid_argument("TFirStream: " + std::to_string(Format.Channels) + " channels, expected 1 to " +
                                std::to_string(MAX_CHANNELS));
  const TDefaultFloatEnv Env;  // the engine's tables are built in it
  F = std::make_unique<TState>(Filter, Format, Clip);
}

TFirStream::~TFirStream() = default;
TFirStream::TFirStream(TFirStream&&) noexcept = default;
TFirStream& TFirStream::operator=(TFirStream&&) noexcept = default;

TFirStream::TState& TFirStream::State() const {
  if (!F) throw std::logic_error("TFirStream: used after it was moved from; assign a stream to it first");
  return *F;
}

void TFirStream::Filter(std::span<const uint8_t> In, std::span<uint8_t> Out) {
  TState& Stream = State();
  const size_t Bytes = static_cast<size_t>(Stream.Engine.Format.FrameBytes());
  if (In.size() != Out.size() || In.size() % Bytes != 0)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(In.size()) + " bytes in, " +
                                std::to_string(Out.size()) + " out, expected the same whole number of " +
                                std::to_string(Bytes) + "-byte frames");
  const TDefaultFloatEnv Env;
  for (size_t Done = 0; Done < In.size();) {
    const int32_t Count = static_cast<int32_t>(std::min<size_t>((In.size() - Done) / Bytes, fast::kBlockFrames));
    Stream.FilterBlock(In.data() + Done, Count, Out.data() + Done);
    Done += static_cast<size_t>(Count) * Bytes;
  }
}

namespace {

// Samples of type T as the bytes of a stream whose format holds them: in
// memory they are then the same bytes as in a WAV file.
template <typename T>
void FilterAs(TFirStream& Stream, TSampleFormat Given, std::span<const T> In, std::span<T> Out) {
  static_assert(std::endian::native == std::endian::little);
  if (Stream.Format().Samples != Given)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(8 * sizeof(T)) + "-bit " +
                                (Given == TSampleFormat::Float32 ? "float " : "") +
                                "samples given to a stream of other samples");
  Stream.Filter(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(In.data()), In.size_bytes()),
                std::span<uint8_t>(reinterpret_cast<uint8_t*>(Out.data()), Out.size_bytes()));
}

}  // namespace

void TFirStream::Filter(std::span<const int16_t> In, std::span<int16_t> Out) {
  FilterAs(*this, TSampleFormat::Pcm16, In, Out);
}

void TFirStream::Filter(std::span<const float> In, std::span<float> Out) {
  FilterAs(*this, TSampleFormat::Float32, In, Out);
}

void TFirStream::Reset() { State().Reset(); }
void TFirStream::NumberFrom(int64_t First) { State().Number = First; }
const TAudioFormat& TFirStream::Format() const { return State().Engine.Format; }
int TFirStream::Channels() const { return Format().Channels; }
int TFirStream::FrameBytes() const { return Format().FrameBytes(); }
int64_t TFirStream::Frames() const { return State().Frames; }
const TOverflowCount& TFirStream::Overflow() const { return State().Overflow; }

}  // namespace kestrum
