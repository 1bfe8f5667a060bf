// TFirStream: an engine over callers' buffers, one call after another.
#include "kestrum/kernel/FirStream.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"

namespace kestrum {

struct TFirStream::TState {
  explicit TState(std::unique_ptr<TKernelEngine> E)
      : Engine(std::move(E)), Overflow(TOverflowCount::For(Engine->Target())) {}

  // Counts what Result wrote and raises its failure.
  void Take(const TProcessed& Result) {
    Frames += Result.Written;
    Overflow.Add(Result.Tally);
    if (Result.Failure) std::rethrow_exception(Result.Failure);
  }

  std::unique_ptr<TKernelEngine> Engine;
  TOverflowCount Overflow;
  int64_t Frames = 0;
};

namespace {

void CheckChannelCount(const TAudioFormat& Format) {
  if (Format.Channels < 1 || Format.Channels > MAX_CHANNELS)
    throw std::invalid_argument("TFirStream: " + std::to_string(Format.Channels) + " channels, expected 1 to " +
                                std::to_string(MAX_CHANNELS));
}

}  // namespace

TFirStream::TFirStream(const TFirFilter& Filter, ff_channels Channels, ff_bits Bits, bool Clip)
    : TFirStream(Filter, FormatOf(Channels, Bits), Clip) {
  if (Channels != ff_mono && Channels != ff_stereo)
    throw std::invalid_argument("TFirStream: ff_multichannel does not say how many channels; give a TAudioFormat");
}

TFirStream::TFirStream(const TFirFilter& Filter, const TAudioFormat& Format, bool Clip) {
  CheckChannelCount(Format);
  const TDefaultFloatEnv Env;  // the engine's tables are built in it
  std::unique_ptr<TKernelEngine> Engine = MakeBlockEngine(Filter);
  Engine->Prepare(Format, {Clip, {}, {}});
  F = std::make_unique<TState>(std::move(Engine));
}

TFirStream::TFirStream(const TLongFilter& Filter, const TAudioFormat& Format, bool Clip) {
  CheckChannelCount(Format);
  const TDefaultFloatEnv Env;
  std::unique_ptr<TKernelEngine> Engine = MakeFftEngine(Filter);
  Engine->Prepare(Format, {Clip, {}, {}});
  F = std::make_unique<TState>(std::move(Engine));
}

TFirStream::TFirStream(const TFilter& Filter, const TAudioFormat& Format, bool Clip, TEngine Engine) {
  CheckChannelCount(Format);
  const TDefaultFloatEnv Env;
  F = std::make_unique<TState>(MakeEngine(Engine, Filter, Format, {Clip, {}, {}}));
}

TFirStream::~TFirStream() = default;
TFirStream::TFirStream(TFirStream&&) noexcept = default;
TFirStream& TFirStream::operator=(TFirStream&&) noexcept = default;

TFirStream::TState& TFirStream::State() const {
  if (!F) throw std::logic_error("TFirStream: used after it was moved from; assign a stream to it first");
  return *F;
}

int64_t TFirStream::Filter(std::span<const uint8_t> In, std::span<uint8_t> Out) {
  TState& Stream = State();
  const size_t Bytes = static_cast<size_t>(Stream.Engine->Format().FrameBytes());
  if (In.size() != Out.size() || In.size() % Bytes != 0)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(In.size()) + " bytes in, " +
                                std::to_string(Out.size()) + " out, expected the same whole number of " +
                                std::to_string(Bytes) + "-byte frames");
  const TDefaultFloatEnv Env;
  // Pieces of at most this many frames, the engines counting in 32 bits.
  constexpr size_t kPiece = size_t{1} << 24;
  int64_t Written = 0;
  for (size_t Done = 0; Done < In.size();) {
    const int32_t Count = static_cast<int32_t>(std::min((In.size() - Done) / Bytes, kPiece));
    const int64_t Before = Stream.Frames;
    Stream.Take(Stream.Engine->Process(In.data() + Done, Count, Out.data() + size_t(Written) * Bytes));
    Written += Stream.Frames - Before;
    Done += static_cast<size_t>(Count) * Bytes;
  }
  return Written;
}

std::vector<uint8_t> TFirStream::Filter(std::span<const uint8_t> In) {
  std::vector<uint8_t> Out(In.size());
  Out.resize(static_cast<size_t>(Filter(In, Out)) * static_cast<size_t>(FrameBytes()));
  return Out;
}

std::vector<uint8_t> TFirStream::Flush() {
  TState& Stream = State();
  const TDefaultFloatEnv Env;
  std::vector<uint8_t> Out(static_cast<size_t>(Stream.Engine->Latency()) *
                           static_cast<size_t>(Stream.Engine->Target().FrameBytes()));
  const TProcessed Result = Stream.Engine->Flush(Out.data());
  Out.resize(static_cast<size_t>(Result.Written) * static_cast<size_t>(Stream.Engine->Target().FrameBytes()));
  Stream.Take(Result);
  return Out;
}

namespace {

// Samples of type T as the bytes of a stream whose format holds them: in
// memory they are then the same bytes as in a WAV file.
template <typename T>
int64_t FilterAs(TFirStream& Stream, TSampleFormat Given, std::span<const T> In, std::span<T> Out) {
  static_assert(std::endian::native == std::endian::little);
  if (Stream.Format().Samples != Given)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(8 * sizeof(T)) + "-bit " +
                                (Given == TSampleFormat::Float32 ? "float " : "") +
                                "samples given to a stream of other samples");
  return Stream.Filter(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(In.data()), In.size_bytes()),
                       std::span<uint8_t>(reinterpret_cast<uint8_t*>(Out.data()), Out.size_bytes()));
}

}  // namespace

int64_t TFirStream::Filter(std::span<const int16_t> In, std::span<int16_t> Out) {
  return FilterAs(*this, TSampleFormat::Pcm16, In, Out);
}

int64_t TFirStream::Filter(std::span<const float> In, std::span<float> Out) {
  return FilterAs(*this, TSampleFormat::Float32, In, Out);
}

void TFirStream::Reset() {
  TState& Stream = State();
  const TDefaultFloatEnv Env;
  Stream.Engine->Reset();
  Stream.Frames = 0;
  Stream.Overflow = TOverflowCount::For(Stream.Engine->Target());
}

void TFirStream::NumberFrom(int64_t First) { State().Engine->NumberFrom(First); }
const TAudioFormat& TFirStream::Format() const { return State().Engine->Format(); }
int TFirStream::Channels() const { return Format().Channels; }
int TFirStream::FrameBytes() const { return Format().FrameBytes(); }
int32_t TFirStream::Latency() const { return State().Engine->Latency(); }
int32_t TFirStream::BlockFrames() const { return Latency() + 1; }
int64_t TFirStream::Frames() const { return State().Frames; }
const TOverflowCount& TFirStream::Overflow() const { return State().Overflow; }

}  // namespace kestrum
