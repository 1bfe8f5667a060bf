// The FFT engine: runs and streams of long filters through the partitioned
// convolver.
#include "kestrum/kernel/FftKernel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <pthread.h>
#include <csignal>

#include "kestrum/base/Errors.h"
#include "kestrum/dsp/FftConvolver.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/base/Bytes.h"

namespace kestrum {


int32_t FftBlockFrames(size_t Length) {
  const size_t Quarter = std::bit_ceil(std::max<size_t>(Length, 1)) / 4;
  return static_cast<int32_t>(std::clamp<size_t>(Quarter, 256, 65536));
}

namespace {

// The partitions a run of Frames frames reaches in blocks of B.
int32_t PartsReached(int64_t Frames, int32_t B) {
  return Frames == TRunLength::kEndless ? INT32_MAX
                                        : static_cast<int32_t>(std::min<int64_t>(INT32_MAX, (Frames + B - 1) / B));
}

// A live source's growing plan: 128 taps summed directly, then blocks of
// 128 frames growing eightfold every 7 partitions up to the file run's
// (of the plans tried, the least work for 65536 and 262144 taps).
constexpr int32_t kLiveFirstBlock = 128;
constexpr int32_t kLiveGrowth = 8;

// The spectra of each filter channel, for a run that reaches MaxParts
// partitions, or a live one, and a convolver per source channel sharing them.
std::vector<TFftConvolver> Convolvers(const TLongFilter& Filter, int Channels, int32_t B, int32_t MaxParts,
                                      bool Live = false) {
  std::vector<std::shared_ptr<const TFftSpectra>> Spectra;
  for (const std::vector<double>& Taps : Filter.Channels)
    Spectra.push_back(std::make_shared<const TFftSpectra>(
        Taps, Live ? GrowingFftPlan(Taps.size(), B, FftBlockFrames(Filter.Length()), kLiveGrowth)
                   : UniformFftPlan(Taps.size(), B, MaxParts)));
  std::vector<TFftConvolver> Result;
  Result.reserve(size_t(Channels));
  for (int C = 0; C < Channels; ++C) Result.emplace_back(Spectra[Spectra.size() == 1 ? 0 : size_t(C)]);
  return Result;
}

// Refuses a run whose spectra would pass the engine's bound.
void CheckSpectraBytes(const TLongFilter& Filter, int Channels, int32_t B, int64_t Frames) {
  const int64_t Bytes = FftSpectraBytes(Filter, Channels, B, Frames);
  if (Bytes <= kMaxFftSpectraBytes) return;
  throw EGeneralError("the FFT engine would hold " + std::to_string(Bytes >> 20) + " MB of spectra for a " +
                      std::to_string(Filter.Length()) + "-tap filter of " + std::to_string(Filter.Channels.size()) +
                      (Filter.Channels.size() == 1 ? " channel" : " channels") + " on " + std::to_string(Channels) +
                      " source channels, more than its bound of " + std::to_string(kMaxFftSpectraBytes >> 20) +
                      " MB: filter fewer channels at a time, or a shorter filter");
}

// Where a block of Count frames first holds a level that is not a finite
// number (Count when none does), and that level. The levels from there on
// are set to silence, so that the frames before it, which do not depend on
// them, are computed as they are (a transform would spread a NaN over the
// whole block).
std::pair<int32_t, double> SilenceFromNonFinite(std::vector<std::vector<double>>& Levels, int32_t Count) {
  int32_t Bad = Count;
  double Level = 0.0;
  for (std::vector<double>& Line : Levels)
    for (int32_t I = 0; I < Bad; ++I)
      if (!std::isfinite(Line[size_t(I)])) Bad = I, Level = Line[size_t(I)];
  if (Bad < Count)
    for (std::vector<double>& Line : Levels) std::fill(Line.begin() + Bad, Line.begin() + Count, 0.0);
  return {Bad, Level};
}

// Stores the first Count frames of Sums (one line of sums per channel) as
// file bytes at Out, up to the first frame that may not be; returns the
// frames stored, counting them in Tally.
int32_t StoreFrames(const std::vector<std::vector<double>>& Sums, int32_t Count, const TAudioFormat& Format,
                    const TStoreRule& Rule, uint8_t* Out, TOverflowCount& Tally) {
  const double* Lines[MAX_CHANNELS];
  for (size_t C = 0; C < Sums.size(); ++C) Lines[C] = Sums[C].data();
  const int32_t Good = fast::RoundSums(Lines, Count, Format, Rule, Out, Tally);
  Tally.Samples += int64_t{Good} * Format.Channels;
  return Good;
}

// Throws the EMathError of frame Bad of Sums, the frame First + Bad of the
// run: for the level that is not a finite number there, if Bad is
// NonFinite.first, else for the first channel's sum that may not be stored.
[[noreturn]] void ThrowAt(const std::vector<std::vector<double>>& Sums, int32_t Bad,
                          std::pair<int32_t, double> NonFinite, const TStoreRule& Rule, int64_t First) {
  if (Bad == NonFinite.first) ThrowUnstorable(NonFinite.second, Rule, First + Bad);
  size_t C = 0;
  while (Storable(Sums[C][size_t(Bad)], Rule)) ++C;
  ThrowUnstorable(Sums[C][size_t(Bad)], Rule, First + Bad);
}

}  // namespace

int64_t FftSpectraBytes(const TLongFilter& Filter, int Channels, int32_t B, int64_t Frames) {
  const int64_t Reached = PartsReached(Frames, B);
  const auto Parts = [&](const std::vector<double>& Taps) {
    return std::min<int64_t>(Reached, std::max<int64_t>(1, (int64_t(Taps.size()) + B - 1) / B));
  };
  int64_t Total = 0;  // the filter's spectra, then each source channel's input spectra
  for (const std::vector<double>& Taps : Filter.Channels) Total += Parts(Taps);
  for (int C = 0; C < Channels; ++C) Total += Parts(Filter.For(C));
  return Total * (int64_t{B} + 1) * int64_t{sizeof(std::complex<double>)};
}

void RunFftKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                  const TLongFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  CheckChannels(Filter, Format.Channels, "the filter");
  if (Run.TargetFormat(Format) != Format)
    throw EGeneralError("the FFT engine writes the source's sample format: with another target format, filter "
                        "with the exact sum (--exact)");
  const TDefaultFloatEnv Env;
  // A live source (until its signal ends) takes a growing plan: each frame's
  // output can leave as soon as the frame has come.
  const bool Live = Length.UntilEnd && BlockFrames <= 0;
  const int32_t B = BlockFrames > 0 ? BlockFrames : Live ? kLiveFirstBlock : FftBlockFrames(Filter.Length());
  // Frames read, computed and written at a time: whole blocks, at least 16384
  // frames, so that a second thread is worth starting for each.
  const int32_t Chunk = B * std::max(1, 16384 / B);
  const size_t Channels = static_cast<size_t>(Format.Channels);
  const size_t FrameBytes = static_cast<size_t>(Format.FrameBytes());
  const TStoreRule Rule = StoreRule(Format.Samples, Run.Clip);
  if (Threads <= 0) Threads = static_cast<int>(std::thread::hardware_concurrency());
  const bool TwoThreads = Threads > 1 && Channels > 1;
  CheckSpectraBytes(Filter, Format.Channels, B, Length.Frames);
  std::vector<TFftConvolver> Convolvers =
      kestrum::Convolvers(Filter, Format.Channels, B, PartsReached(Length.Frames, B), Live);
  std::vector<std::vector<double>> Sums(Channels, std::vector<double>(size_t(Chunk)));
  std::vector<uint8_t> Raw(size_t(Chunk) * FrameBytes);
  int64_t Done = 0;  // frames computed
  int32_t Have = 0;  // frames in Raw, not yet computed

  // Computes the first Count frames of Raw (whole blocks, but for the run's
  // last frames, whose block is completed with silence), hands them over and
  // keeps the others.
  const auto Compute = [&](int32_t Count) {
    const int32_t Padded = Live ? Count : (Count + B - 1) / B * B;
    for (size_t C = 0; C < Channels; ++C) {
      fast::LoadLevelsPortable(Raw.data(), Count, Format, int(C), Sums[C].data());
      std::fill(Sums[C].begin() + Count, Sums[C].begin() + Padded, 0.0);
    }
    const std::pair<int32_t, double> NonFinite =
        Format.Float() ? SilenceFromNonFinite(Sums, Count) : std::pair<int32_t, double>{Count, 0.0};
    const auto Convolve = [&](size_t From, size_t To) {
      const TDefaultFloatEnv ThreadEnv;
      for (size_t C = From; C < To; ++C) {
        double* const Levels = Sums[C].data();
        Convolvers[C].Process(Levels, Levels, Padded);
      }
    };
    if (TwoThreads) {
      // The second thread starts with every signal blocked, so that a stop
      // signal reaches the caller's thread.
      sigset_t All, Old;
      sigfillset(&All);
      pthread_sigmask(SIG_SETMASK, &All, &Old);
      std::thread Second(Convolve, Channels / 2, Channels);
      pthread_sigmask(SIG_SETMASK, &Old, nullptr);
      Convolve(0, Channels / 2);
      Second.join();
    } else {
      Convolve(0, Channels);
    }
    // The frames are stored over their raw bytes, up to the first that may not be.
    TOverflowCount Tally = TOverflowCount::For(Format);
    const int32_t Good = StoreFrames(Sums, NonFinite.first, Format, Rule, Raw.data(), Tally);
    for (int32_t Out = 0; Out < Good;) {
      const int32_t Frames = std::min(Good - Out, Run.FramesToProgress());
      Sink.WriteFrames(Raw.data() + size_t(Out) * FrameBytes, Frames);
      Run.StepProgress(Frames);
      Out += Frames;
    }
    Run.Overflow.Add(Tally);
    if (Good < Count) ThrowAt(Sums, Good, NonFinite, Rule, Done);
    std::memmove(Raw.data(), Raw.data() + size_t(Count) * FrameBytes, size_t(Have - Count) * FrameBytes);
    Have -= Count;
    Done += Count;
  };

  if (!Length.UntilEnd) {
    while (Done < Length.Frames) {
      Have = static_cast<int32_t>(std::min<int64_t>(Chunk, Length.Frames - Done));
      Source.ReadFrames(Raw.data(), Have);
      Compute(Have);
    }
    return;
  }
  // Until the signal ends: the frames as they arrive; before a read that
  // waits, the whole blocks at hand are handed over and the sink flushed.
  for (int64_t Left = Length.Frames; Left > 0;) {
    if (!Source.Ready()) {
      const int32_t Whole = Live ? Have : Have / B * B;
      if (Whole > 0) Compute(Whole);
      Sink.Flush();
    }
    const int32_t Arrived = Source.ReadArrived(Raw.data() + size_t(Have) * FrameBytes,
                                               static_cast<int32_t>(std::min<int64_t>(Chunk - Have, Left)));
    if (Arrived == 0) break;
    Have += Arrived;
    Left -= Arrived;
    if (Have == Chunk) Compute(Chunk);
  }
  if (Have > 0) Compute(Have);
}

struct TFftStream::TState {
  TState(const TLongFilter& Filter, const TAudioFormat& Format, bool Clip)
      : Format(Format), Rule(StoreRule(Format.Samples, Clip)), B(FftBlockFrames(Filter.Length())),
        Sums(size_t(Format.Channels), std::vector<double>(size_t(B))), Overflow(TOverflowCount::For(Format)) {
    CheckChannels(Filter, Format.Channels, "the filter");
    CheckSpectraBytes(Filter, Format.Channels, B, TRunLength::kEndless);
    Convolvers = kestrum::Convolvers(Filter, Format.Channels, B, INT32_MAX);
  }
  // Computes the block held in Pending (B frames) and appends its first
  // Count frames to Out.
  void Block(int32_t Count, std::vector<uint8_t>& Out) {
    const TDefaultFloatEnv Env;
    for (size_t C = 0; C < Sums.size(); ++C)
      fast::LoadLevelsPortable(Pending.data(), B, Format, int(C), Sums[C].data());
    const std::pair<int32_t, double> NonFinite =
        Format.Float() ? SilenceFromNonFinite(Sums, Count) : std::pair<int32_t, double>{Count, 0.0};
    for (size_t C = 0; C < Sums.size(); ++C) Convolvers[C].Process(Sums[C].data(), Sums[C].data());
    const size_t At = Out.size();
    Out.resize(At + size_t(Count) * size_t(Format.FrameBytes()));
    const int32_t Good = StoreFrames(Sums, NonFinite.first, Format, Rule, Out.data() + At, Overflow);
    if (Good < Count) {
      const int64_t First = Frames;
      Reset();
      ThrowAt(Sums, Good, NonFinite, Rule, First);
    }
    Frames += Count;
    Pending.clear();
  }
  void Reset() {
    for (TFftConvolver& Convolver : Convolvers) Convolver.Reset();
    Pending.clear();
    Frames = 0;
    Overflow = TOverflowCount::For(Format);
  }

  const TAudioFormat Format;
  const TStoreRule Rule;
  const int32_t B;
  std::vector<TFftConvolver> Convolvers;
  std::vector<std::vector<double>> Sums;
  std::vector<uint8_t> Pending;  // the frames of the block not yet complete
  int64_t Frames = 0;
  TOverflowCount Overflow;
};

TFftStream::TFftStream(const TLongFilter& Filter, const TAudioFormat& Format, bool Clip)
    : F([&] {
        const TDefaultFloatEnv Env;
        return std::make_unique<TState>(Filter, Format, Clip);
      }()) {}
TFftStream::~TFftStream() = default;
TFftStream::TFftStream(TFftStream&&) noexcept = default;
TFftStream& TFftStream::operator=(TFftStream&&) noexcept = default;

TFftStream::TState& TFftStream::State() const {
  if (!F) throw std::logic_error("TFftStream: used after it was moved from; assign a stream to it first");
  return *F;
}

std::vector<uint8_t> TFftStream::Filter(std::span<const uint8_t> In) {
  TState& S = State();
  const size_t FrameBytes = size_t(S.Format.FrameBytes());
  if (In.size() % FrameBytes != 0) throw std::invalid_argument("the samples are not a whole number of frames");
  const size_t BlockBytes = size_t(S.B) * FrameBytes;
  std::vector<uint8_t> Out;
  while (!In.empty()) {
    const size_t Take = std::min(In.size(), BlockBytes - S.Pending.size());
    S.Pending.insert(S.Pending.end(), In.begin(), In.begin() + std::ptrdiff_t(Take));
    In = In.subspan(Take);
    if (S.Pending.size() == BlockBytes) S.Block(S.B, Out);
  }
  return Out;
}

std::vector<uint8_t> TFftStream::Flush() {
  TState& S = State();
  std::vector<uint8_t> Out;
  const size_t FrameBytes = size_t(S.Format.FrameBytes());
  const int32_t Count = static_cast<int32_t>(S.Pending.size() / FrameBytes);
  if (Count > 0) {
    S.Pending.resize(size_t(S.B) * FrameBytes, S.Format.Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00);
    S.Block(Count, Out);
  }
  for (TFftConvolver& Convolver : S.Convolvers) Convolver.Reset();
  return Out;
}

void TFftStream::Reset() { State().Reset(); }
int32_t TFftStream::BlockFrames() const { return State().B; }
const TAudioFormat& TFftStream::Format() const { return State().Format; }
int64_t TFftStream::Frames() const { return State().Frames; }
const TOverflowCount& TFftStream::Overflow() const { return State().Overflow; }


}  // namespace kestrum
