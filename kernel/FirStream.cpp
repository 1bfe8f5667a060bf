// TFirStream: the fast kernel's steps over caller's buffers, with the levels
// of the last frames kept as the next call's history.
#include "kernel/FirStream.h"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <stdexcept>
#include <vector>

#include "kernel/FastKernel.h"
#include "kernel/Kernel.h"

namespace kestrum {

TFirFilter MakeFirFilter(std::span<const TFirTap> Taps, std::string Comment) {
  if (Taps.size() > static_cast<size_t>(FIR_MAX_TAPS))
    throw std::invalid_argument(std::to_string(Taps.size()) + " taps, at most " +
                                std::to_string(FIR_MAX_TAPS) + " allowed");
  TFirFilter Filter;
  Filter.FilterComment = std::move(Comment);
  Filter.NbTaps = static_cast<int32_t>(Taps.size());
  for (size_t I = 0; I < Taps.size(); ++I) {
    Filter.Delays[I] = Taps[I].Delay;
    Filter.Coefs[I] = Taps[I].Coef;
  }
  return Filter;
}

namespace {

// The filter's arithmetic is defined in the default floating-point
// environment (rounding to nearest, subnormals kept); a host such as an audio
// plugin may have changed it on its thread.
class TDefaultFloatEnv {
public:
  TDefaultFloatEnv() {
    std::fegetenv(&FSaved);
    std::fesetenv(FE_DFL_ENV);
  }
  ~TDefaultFloatEnv() { std::fesetenv(&FSaved); }
  TDefaultFloatEnv(const TDefaultFloatEnv&) = delete;
  TDefaultFloatEnv& operator=(const TDefaultFloatEnv&) = delete;

private:
  std::fenv_t FSaved;
};

TFirFilter ReadWhole(TFirFileReader Fir) {
  TFirFilter Filter;
  Fir.ReadHead(Filter);
  Fir.ReadTaps(Filter);
  return Filter;
}

fast::TFormat FormatOf(ff_channels Channels, ff_bits Bits) {
  fast::TFormat Format;
  switch (Channels) {
    case ff_mono: Format.Stereo = false; break;
    case ff_stereo: Format.Stereo = true; break;
  }
  Format.Samples = SampleFormatOf(Bits);
  return Format;
}

}  // namespace

TFirFilter ReadFirFilter(const std::string& FileName) { return ReadWhole(TFirFileReader::FromFile(FileName)); }

TFirFilter ParseFirFilter(std::string Text, std::string Name) {
  return ReadWhole(TFirFileReader::FromText(std::move(Text), std::move(Name)));
}

// Each channel's levels live in one buffer: the Taps.MaxDelay levels before
// Pos are the history of the frame whose level goes to Pos. A block's levels
// are appended at Pos; when the buffer is full, the history moves back to the
// front, so that moving costs at most one level per frame filtered.
struct TFirStream::TState {
  TState(const TFirFilter& Filter, fast::TFormat F, bool Clip)
      : Taps(fast::TapsFor(Filter, F)), Format(F), Rule(StoreRule(F.Samples, Clip)) {
    const size_t History = static_cast<size_t>(Taps.MaxDelay);
    for (int C = 0; C < Format.Channels(); ++C) {
      Levels[C].resize(2 * History + fast::kBlockFrames + fast::kTilePad);
      Acc[C].resize(fast::kBlockFrames + fast::kTilePad);
    }
    Overflow.Bits = Format.Bits();
    Overflow.Float = Rule.Float;
  }

  void Reset() {
    for (std::vector<double>& L : Levels) std::fill_n(L.begin(), std::min<size_t>(L.size(), Taps.MaxDelay), 0.0);
    Pos = Taps.MaxDelay;
    Frames = 0;
    Overflow = TOverflowCount();
    Overflow.Bits = Format.Bits();
    Overflow.Float = Rule.Float;
  }

  // Filters Count frames, at most kBlockFrames.
  void FilterBlock(const uint8_t* In, int32_t Count, uint8_t* Out) {
    const int32_t History = Taps.MaxDelay;
    if (Pos + Count > 2 * History + fast::kBlockFrames) {
      for (int C = 0; C < Format.Channels(); ++C)
        std::copy(Levels[C].begin() + (Pos - History), Levels[C].begin() + Pos, Levels[C].begin());
      Pos = History;
    }
    // Every channel is loaded before any output is written: Out may be In.
    for (int C = 0; C < Format.Channels(); ++C) {
      double* const L = Levels[C].data() + Pos;
      fast::LoadLevels(In, Count, Format, C, L);
      fast::SumTaps(L, Count, Taps, Acc[C].data());
    }
    Pos += Count;
    const float* const Sums[2] = {Acc[0].data(), Acc[1].data()};
    TOverflowCount Tally;
    const int32_t Good = fast::RoundSums(Sums, Count, Format, Rule, Out, Tally);
    Tally.Samples = int64_t{Good} * Format.Channels();
    Overflow.Add(Tally);
    if (Good < Count) {
      // The stream stands after the good frames, as if In had ended there,
      // and raises the error of the first channel whose sum fails.
      Pos -= Count - Good;
      Frames += Good;
      for (int C = 0; C < Format.Channels(); ++C)
        if (!Storable(Acc[C][Good], Rule)) ThrowUnstorable(Acc[C][Good], Rule, Frames);
    }
    Frames += Count;
  }

  const fast::TTaps Taps;
  const fast::TFormat Format;
  const TStoreRule Rule;
  TOverflowCount Overflow;
  std::vector<double> Levels[2];
  std::vector<float> Acc[2];
  int32_t Pos = Taps.MaxDelay;
  int64_t Frames = 0;
};

TFirStream::TFirStream(const TFirFilter& Filter, ff_channels Channels, ff_bits Bits, bool Clip)
    : F(std::make_unique<TState>(Filter, FormatOf(Channels, Bits), Clip)) {}
TFirStream::~TFirStream() = default;
TFirStream::TFirStream(TFirStream&&) noexcept = default;
TFirStream& TFirStream::operator=(TFirStream&&) noexcept = default;

void TFirStream::Filter(std::span<const uint8_t> In, std::span<uint8_t> Out) {
  const size_t Bytes = static_cast<size_t>(FrameBytes());
  if (In.size() != Out.size() || In.size() % Bytes != 0)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(In.size()) + " bytes in, " +
                                std::to_string(Out.size()) + " out, expected the same whole number of " +
                                std::to_string(Bytes) + "-byte frames");
  const TDefaultFloatEnv Env;
  for (size_t Done = 0; Done < In.size();) {
    const int32_t Count = static_cast<int32_t>(std::min<size_t>((In.size() - Done) / Bytes, fast::kBlockFrames));
    F->FilterBlock(In.data() + Done, Count, Out.data() + Done);
    Done += static_cast<size_t>(Count) * Bytes;
  }
}

namespace {

// Samples of type T as the bytes of a stream whose format holds them: in
// memory they are then the same bytes as in a WAV file.
template <typename T>
void FilterAs(TFirStream& Stream, TSampleFormat Stored, TSampleFormat Given, std::span<const T> In, std::span<T> Out) {
  static_assert(std::endian::native == std::endian::little);
  if (Stored != Given)
    throw std::invalid_argument("TFirStream::Filter: " + std::to_string(8 * sizeof(T)) + "-bit " +
                                (Given == TSampleFormat::Float32 ? "float " : "") +
                                "samples given to a stream of other samples");
  Stream.Filter(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(In.data()), In.size_bytes()),
                std::span<uint8_t>(reinterpret_cast<uint8_t*>(Out.data()), Out.size_bytes()));
}

}  // namespace

void TFirStream::Filter(std::span<const int16_t> In, std::span<int16_t> Out) {
  FilterAs(*this, F->Format.Samples, TSampleFormat::Pcm16, In, Out);
}

void TFirStream::Filter(std::span<const float> In, std::span<float> Out) {
  FilterAs(*this, F->Format.Samples, TSampleFormat::Float32, In, Out);
}

void TFirStream::Reset() { F->Reset(); }
int TFirStream::Channels() const { return F->Format.Channels(); }
int TFirStream::FrameBytes() const { return F->Format.FrameBytes(); }
int64_t TFirStream::Frames() const { return F->Frames; }
const TOverflowCount& TFirStream::Overflow() const { return F->Overflow; }

}  // namespace kestrum
