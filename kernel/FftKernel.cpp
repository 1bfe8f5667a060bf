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

TFftConvolver::TFftConvolver(const std::vector<double>& Taps, int32_t B)
    : FB(B), FFft(B), FSum(size_t(B) + 1), FWindow(2 * size_t(B)) {
  const TDefaultFloatEnv Env;
  const size_t Bins = size_t(B) + 1;
  FParts = static_cast<int32_t>(std::max<size_t>(1, (Taps.size() + size_t(B) - 1) / size_t(B)));
  FFilter.resize(Bins * size_t(FParts));
  FInput.assign(Bins * size_t(FParts), TComplex());
  // Partition p: taps p*B to p*B + B - 1 in the window's first half. The
  // products' transform back is 2B times too large: the scale, a power of
  // two, is exact here.
  const double Scale = 1.0 / (2.0 * B);
  std::vector<double> Window(2 * size_t(B));
  for (int32_t P = 0; P < FParts; ++P) {
    std::fill(Window.begin(), Window.end(), 0.0);
    const size_t From = size_t(P) * size_t(B);
    const size_t To = std::min(Taps.size(), From + size_t(B));
    for (size_t I = From; I < To; ++I) Window[I - From] = Taps[I] * Scale;
    FFft.Forward(Window.data(), &FFilter[size_t(P) * Bins]);
  }
}

void TFftConvolver::Reset() {
  std::fill(FInput.begin(), FInput.end(), TComplex());
  std::fill(FWindow.begin(), FWindow.end(), 0.0);
  FNewest = 0;
}

void TFftConvolver::Process(const double* In, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = size_t(FB);
  const size_t Bins = B + 1;
  std::copy(FWindow.begin() + std::ptrdiff_t(B), FWindow.end(), FWindow.begin());
  std::copy(In, In + B, FWindow.begin() + std::ptrdiff_t(B));
  FNewest = (FNewest + 1) % FParts;
  FFft.Forward(FWindow.data(), &FInput[size_t(FNewest) * Bins]);
  // Sum[k] = sum over p, in order, of Input(block - p)[k] * Filter(p)[k],
  // in real arithmetic that the compiler may vectorise but not fuse.
  double* const Sum = reinterpret_cast<double*>(FSum.data());
  std::fill(Sum, Sum + 2 * Bins, 0.0);
  for (int32_t P = 0; P < FParts; ++P) {
    const int32_t Slot = (FNewest - P + FParts) % FParts;
    const double* const X = reinterpret_cast<const double*>(&FInput[size_t(Slot) * Bins]);
    const double* const H = reinterpret_cast<const double*>(&FFilter[size_t(P) * Bins]);
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

// Whether a double sum can be stored under Rule: a finite float for float
// samples; for integers any finite sum with Clip, else one that rounds
// within signed 32 bits.
bool StorableSum(double Sum, const TStoreRule& Rule) {
  if (Rule.Float) return Storable(static_cast<float>(Sum), Rule);
  if (!std::isfinite(Sum)) return false;
  const double Rounded = std::nearbyint(Sum);
  return Rule.Clip || (Rounded >= -2147483648.0 && Rounded <= 2147483647.0);
}

// Stores a StorableSum as a sample of Format at Out, counting it in Tally
// (not Samples); returns the position after it.
uint8_t* StoreSum(double Sum, TSampleFormat Format, const TStoreRule& Rule, uint8_t* Out, TOverflowCount& Tally) {
  if (Rule.Float) {
    const float Sample = StoreFloat(static_cast<float>(Sum), Rule, Tally);
    if (Format == TSampleFormat::Float64) {
      WriteU64LE(Out, std::bit_cast<uint64_t>(static_cast<double>(Sample)));
      return Out + 8;
    }
    WriteU32LE(Out, std::bit_cast<uint32_t>(Sample));
    return Out + 4;
  }
  double Rounded = std::nearbyint(Sum);  // ties to even in the default environment
  Tally.Peak = std::max(Tally.Peak, static_cast<float>(std::fabs(Rounded)));
  if (Rounded < Rule.LevelMin || Rounded > Rule.LevelMax) {
    ++Tally.Overflowed;
    if (Rule.Clip) Rounded = std::clamp<double>(Rounded, Rule.LevelMin, Rule.LevelMax);
  }
  const uint32_t Bits = static_cast<uint32_t>(static_cast<int64_t>(Rounded));  // the low bits, as wrapping keeps
  if (Format == TSampleFormat::Pcm8) {
    *Out = static_cast<uint8_t>(Bits + 128u);
    return Out + 1;
  }
  const int Bytes = BytesPerSample(Format);
  for (int I = 0; I < Bytes; ++I) *Out++ = static_cast<uint8_t>(Bits >> (8 * I));
  return Out;
}

// Stores the first Count frames of Sums (one line of sums per channel) as
// file bytes at Out, up to the first frame that may not be; returns the
// frames stored, counting them in Tally.
int32_t StoreFrames(const std::vector<std::vector<double>>& Sums, int32_t Count, const TAudioFormat& Format,
                    const TStoreRule& Rule, uint8_t* Out, TOverflowCount& Tally) {
  const size_t Channels = Sums.size();
  int32_t Good = 0;
  for (; Good < Count; ++Good) {
    size_t C = 0;
    while (C < Channels && StorableSum(Sums[C][size_t(Good)], Rule)) ++C;
    if (C < Channels) break;
    for (C = 0; C < Channels; ++C) Out = StoreSum(Sums[C][size_t(Good)], Format.Samples, Rule, Out, Tally);
  }
  Tally.Samples += int64_t{Good} * Format.Channels;
  return Good;
}

// Throws the EMathError of frame Bad of Sums, the frame First + Bad of the run.
[[noreturn]] void ThrowAt(const std::vector<std::vector<double>>& Sums, int32_t Bad, const TStoreRule& Rule,
                          int64_t First) {
  size_t C = 0;
  while (StorableSum(Sums[C][size_t(Bad)], Rule)) ++C;
  ThrowUnstorable(static_cast<float>(Sums[C][size_t(Bad)]), Rule, First + Bad);
}

}  // namespace

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
  std::vector<TFftConvolver> Convolvers;
  for (size_t C = 0; C < Channels; ++C) Convolvers.emplace_back(Filter.For(int(C)), B);
  std::vector<std::vector<double>> Sums(Channels, std::vector<double>(size_t(Chunk)));
  std::vector<uint8_t> Raw(size_t(Chunk) * FrameBytes);
  int64_t Done = 0;  // frames computed
  int32_t Have = 0;  // frames in Raw, not yet computed

  // Computes the first Count frames of Raw (whole blocks, but for the run's
  // last frames, whose block is completed with silence), hands them over and
  // keeps the others.
  const auto Compute = [&](int32_t Count) {
    const int32_t Padded = (Count + B - 1) / B * B;
    const auto Convolve = [&](size_t From, size_t To) {
      const TDefaultFloatEnv ThreadEnv;
      for (size_t C = From; C < To; ++C) {
        double* const Levels = Sums[C].data();
        fast::LoadLevelsPortable(Raw.data(), Count, Format, int(C), Levels);
        std::fill(Levels + Count, Levels + Padded, 0.0);
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
    const int32_t Good = StoreFrames(Sums, Count, Format, Rule, Raw.data(), Tally);
    for (int32_t Out = 0; Out < Good;) {
      const int32_t Frames = std::min(Good - Out, Run.FramesToProgress());
      Sink.WriteFrames(Raw.data() + size_t(Out) * FrameBytes, Frames);
      Run.StepProgress(Frames);
      Out += Frames;
    }
    Run.Overflow.Add(Tally);
    if (Good < Count) ThrowAt(Sums, Good, Rule, Done);
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
    for (int C = 0; C < Format.Channels; ++C) Convolvers.emplace_back(Filter.For(C), B);
  }
  // Computes the block held in Pending (B frames) and appends its first
  // Count frames to Out.
  void Block(int32_t Count, std::vector<uint8_t>& Out) {
    const TDefaultFloatEnv Env;
    for (size_t C = 0; C < Sums.size(); ++C) {
      fast::LoadLevelsPortable(Pending.data(), B, Format, int(C), Sums[C].data());
      Convolvers[C].Process(Sums[C].data(), Sums[C].data());
    }
    const size_t At = Out.size();
    Out.resize(At + size_t(Count) * size_t(Format.FrameBytes()));
    const int32_t Good = StoreFrames(Sums, Count, Format, Rule, Out.data() + At, Overflow);
    if (Good < Count) {
      const int64_t First = Frames;
      Reset();
      ThrowAt(Sums, Good, Rule, First);
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

std::vector<uint8_t> TFftStream::Filter(std::span<const uint8_t> In) {
  const size_t FrameBytes = size_t(F->Format.FrameBytes());
  if (In.size() % FrameBytes != 0) throw std::invalid_argument("the samples are not a whole number of frames");
  const size_t BlockBytes = size_t(F->B) * FrameBytes;
  std::vector<uint8_t> Out;
  while (!In.empty()) {
    const size_t Take = std::min(In.size(), BlockBytes - F->Pending.size());
    F->Pending.insert(F->Pending.end(), In.begin(), In.begin() + std::ptrdiff_t(Take));
    In = In.subspan(Take);
    if (F->Pending.size() == BlockBytes) F->Block(F->B, Out);
  }
  return Out;
}

std::vector<uint8_t> TFftStream::Flush() {
  std::vector<uint8_t> Out;
  const size_t FrameBytes = size_t(F->Format.FrameBytes());
  const int32_t Count = static_cast<int32_t>(F->Pending.size() / FrameBytes);
  if (Count > 0) {
    F->Pending.resize(size_t(F->B) * FrameBytes, F->Format.Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00);
    F->Block(Count, Out);
  }
  for (TFftConvolver& Convolver : F->Convolvers) Convolver.Reset();
  return Out;
}

void TFftStream::Reset() { F->Reset(); }
int32_t TFftStream::BlockFrames() const { return F->B; }
const TAudioFormat& TFftStream::Format() const { return F->Format; }
int64_t TFftStream::Frames() const { return F->Frames; }
const TOverflowCount& TFftStream::Overflow() const { return F->Overflow; }

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
      ? fast::TBlockEngine(fast::TapsFor(Filter.Channels[0], Format, NbEch), Format, Run.Clip, Run.Target)
      : fast::TBlockEngine(std::move(PerChannel), Format, Run.Clip, Run.Target);
  fast::RunEngine(Source, Sink, Length, Engine, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
