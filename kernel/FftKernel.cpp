// The FFT engine and the exact engine for long filters.
#include "kernel/FftKernel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <pthread.h>
#include <csignal>

#include "base/Errors.h"
#include "base/KissFft.h"
#include "kernel/FastKernel.h"
#include "base/FloatEnv.h"
#include "wav/WavHeader.h"

namespace kestrum {

using TComplex = std::complex<double>;

struct TRealFft::TImpl {
  explicit TImpl(int32_t B)
      : Forward(static_cast<size_t>(B), false), Inverse(static_cast<size_t>(B), true),
        Twiddle(static_cast<size_t>(B) + 1), Z(static_cast<size_t>(B)), Zt(static_cast<size_t>(B)) {
    for (size_t K = 0; K <= size_t(B); ++K) Twiddle[K] = HalfTurnTwiddle(K, size_t(B), -1);
  }
  TKissFft Forward, Inverse;
  std::vector<TComplex> Twiddle;  // exp(-i pi k / B), k = 0..B
  std::vector<TComplex> Z, Zt;
};

TRealFft::TRealFft(int32_t B) : FB(B), F(std::make_unique<TImpl>(B)) {}
TRealFft::~TRealFft() = default;
TRealFft::TRealFft(TRealFft&&) noexcept = default;

// The 2B real values as B complex ones (even values real, odd imaginary),
// transformed, then split into the real signal's spectrum.
void TRealFft::Forward(const double* In, TComplex* Spectrum) {
  const TDefaultFloatEnv Env;
  const size_t B = static_cast<size_t>(FB);
  for (size_t N = 0; N < B; ++N) F->Z[N] = TComplex(In[2 * N], In[2 * N + 1]);
  F->Forward.Transform(F->Z.data(), F->Zt.data());
  const TComplex* const Z = F->Zt.data();
  for (size_t K = 0; K <= B; ++K) {
    const TComplex Zk = Z[K == B ? 0 : K];
    const TComplex Zc = std::conj(Z[K == 0 ? 0 : B - K]);
    const TComplex Even = 0.5 * (Zk + Zc);
    const TComplex Odd = TComplex(0.0, -0.5) * (Zk - Zc);
    Spectrum[K] = Even + F->Twiddle[K] * Odd;
  }
}

void TRealFft::Inverse(const TComplex* Spectrum, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = static_cast<size_t>(FB);
  for (size_t K = 0; K < B; ++K) {
    const TComplex Xk = Spectrum[K];
    const TComplex Xc = std::conj(Spectrum[B - K]);
    const TComplex Even = Xk + Xc;                             // twice the even values' spectrum
    const TComplex Odd = (Xk - Xc) * std::conj(F->Twiddle[K]);  // twice the odd values'
    F->Z[K] = Even + TComplex(0.0, 1.0) * Odd;
  }
  F->Inverse.Transform(F->Z.data(), F->Zt.data());
  for (size_t N = 0; N < B; ++N) {
    Out[2 * N] = F->Zt[N].real();
    Out[2 * N + 1] = F->Zt[N].imag();
  }
}

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts) : B(B) {
  const TDefaultFloatEnv Env;
  const size_t Bins = size_t(B) + 1;
  const size_t All = std::max<size_t>(1, (Taps.size() + size_t(B) - 1) / size_t(B));
  Parts = static_cast<int32_t>(std::min<size_t>(All, size_t(std::max(MaxParts, 1))));
  this->Bins.resize(Bins * size_t(Parts));
  // Partition p: taps p*B to p*B + B - 1 in the window's first half. The
  // products' transform back is 2B times too large: the scale, a power of
  // two, is exact here.
  const double Scale = 1.0 / (2.0 * B);
  TRealFft Fft(B);
  std::vector<double> Window(2 * size_t(B));
  for (int32_t P = 0; P < Parts; ++P) {
    std::fill(Window.begin(), Window.end(), 0.0);
    const size_t From = size_t(P) * size_t(B);
    const size_t To = std::min(Taps.size(), From + size_t(B));
    for (size_t I = From; I < To; ++I) Window[I - From] = Taps[I] * Scale;
    Fft.Forward(Window.data(), &this->Bins[size_t(P) * Bins]);
  }
}

TFftConvolver::TFftConvolver(const std::vector<double>& Taps, int32_t B)
    : TFftConvolver(std::make_shared<const TFftSpectra>(Taps, B)) {}

TFftConvolver::TFftConvolver(std::shared_ptr<const TFftSpectra> Filter)
    : FFilter(std::move(Filter)), FB(FFilter->B), FParts(FFilter->Parts), FFft(FB),
      FInput((size_t(FB) + 1) * size_t(FParts)), FSum(size_t(FB) + 1), FWindow(2 * size_t(FB)) {}

void TFftConvolver::Reset() {
  std::fill(FInput.begin(), FInput.end(), TComplex());
  std::fill(FWindow.begin(), FWindow.end(), 0.0);
  FNewest = 0;
  FBlocks = 0;
}

void TFftConvolver::Process(const double* In, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = size_t(FB);
  const size_t Bins = B + 1;
  std::copy(FWindow.begin() + std::ptrdiff_t(B), FWindow.end(), FWindow.begin());
  std::copy(In, In + B, FWindow.begin() + std::ptrdiff_t(B));
  FNewest = (FNewest + 1) % FParts;
  FBlocks = std::min(FBlocks + 1, FParts);
  FFft.Forward(FWindow.data(), &FInput[size_t(FNewest) * Bins]);
  // Sum[k] = sum over p, in order, of Input(block - p)[k] * Filter(p)[k],
  // in real arithmetic that the compiler may vectorise but not fuse. The
  // partitions that meet only the silence before the first block add zeros,
  // which leave a sum as it is: they are skipped.
  double* const Sum = reinterpret_cast<double*>(FSum.data());
  std::fill(Sum, Sum + 2 * Bins, 0.0);
  for (int32_t P = 0; P < FBlocks; ++P) {
    const int32_t Slot = (FNewest - P + FParts) % FParts;
    const double* const X = reinterpret_cast<const double*>(&FInput[size_t(Slot) * Bins]);
    const double* const H = reinterpret_cast<const double*>(&FFilter->Bins[size_t(P) * Bins]);
    for (size_t K = 0; K < 2 * Bins; K += 2) {
      Sum[K] += X[K] * H[K] - X[K + 1] * H[K + 1];
      Sum[K + 1] += X[K] * H[K + 1] + X[K + 1] * H[K];
    }
  }
  // The window's second half is the block's output; the first wraps round.
  std::vector<double>& Back = FBack;
  Back.resize(2 * B);
  FFft.Inverse(FSum.data(), Back.data());
  std::copy(Back.begin() + std::ptrdiff_t(B), Back.end(), Out);
}

int32_t FftBlockFrames(size_t Length) {
  const size_t Eighth = std::bit_ceil(std::max<size_t>(Length, 1)) / 8;
  return static_cast<int32_t>(std::clamp<size_t>(Eighth, 256, 16384));
}

namespace {

// The partitions a run of Frames frames reaches in blocks of B.
int32_t PartsReached(int64_t Frames, int32_t B) {
  return Frames == TRunLength::kEndless ? INT32_MAX
                                        : static_cast<int32_t>(std::min<int64_t>(INT32_MAX, (Frames + B - 1) / B));
}

// The spectra of each filter channel, for a run that reaches MaxParts
// partitions, and a convolver per source channel sharing them.
std::vector<TFftConvolver> Convolvers(const TLongFilter& Filter, int Channels, int32_t B, int32_t MaxParts) {
  std::vector<std::shared_ptr<const TFftSpectra>> Spectra;
  for (const std::vector<double>& Taps : Filter.Channels)
    Spectra.push_back(std::make_shared<const TFftSpectra>(Taps, B, MaxParts));
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
  const int32_t Good = fast::RoundSumsPortable(Lines, Count, Format, Rule, Out, Tally);
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
  return Total * (int64_t{B} + 1) * int64_t{sizeof(TComplex)};
}

void RunFftKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                  const TLongFilter& Filter, TRunContext& Run, int Threads, int32_t BlockFrames) {
  if (Length.Frames <= 0) return;
  CheckChannels(Filter, Format.Channels, "the filter");
  if (Run.TargetFormat(Format) != Format)
    throw EGeneralError("the FFT engine writes the source's sample format: with another target format, filter "
                        "with the exact sum (--exact)");
  const TDefaultFloatEnv Env;
  const int32_t B = BlockFrames > 0 ? BlockFrames : FftBlockFrames(Filter.Length());
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
      kestrum::Convolvers(Filter, Format.Channels, B, PartsReached(Length.Frames, B));
  std::vector<std::vector<double>> Sums(Channels, std::vector<double>(size_t(Chunk)));
  std::vector<uint8_t> Raw(size_t(Chunk) * FrameBytes);
  int64_t Done = 0;  // frames computed
  int32_t Have = 0;  // frames in Raw, not yet computed

  // Computes the first Count frames of Raw (whole blocks, but for the run's
  // last frames, whose block is completed with silence), hands them over and
  // keeps the others.
  const auto Compute = [&](int32_t Count) {
    const int32_t Padded = (Count + B - 1) / B * B;
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
        for (int32_t At = 0; At < Padded; At += B) Convolvers[C].Process(Levels + At, Levels + At);
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
      if (Have >= B) Compute(Have / B * B);
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

void RunExactKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                    const TLongFilter& Filter, TRunContext& Run, int Threads) {
  if (Length.Frames <= 0) return;
  const TDefaultFloatEnv Env;  // the tables are converted in it too
  const int32_t NbEch = static_cast<int32_t>(std::min<int64_t>(Length.Frames, INT32_MAX));
  CheckChannels(Filter, Format.Channels, "the filter");
  // A short run needs no more history than its frames.
  std::vector<fast::TTaps> PerChannel;
  if (Filter.Channels.size() > 1)
    for (const std::vector<double>& Line : Filter.Channels) PerChannel.push_back(fast::TapsFor(Line, Format, NbEch));
  const fast::TBlockEngine Engine = PerChannel.empty()
      ? fast::TBlockEngine(fast::TapsFor(Filter.Channels[0], Format, NbEch), Format, Run.Clip, Run.Target, Run.Dither)
      : fast::TBlockEngine(std::move(PerChannel), Format, Run.Clip, Run.Target, Run.Dither);
  fast::RunEngine(Source, Sink, Length, Engine, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
