// The long filters: FFT convolution against a direct double-precision sum,
// the exact engine against the float sum over a long history, and reading an
// impulse response as taps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "kestrum/base/Errors.h"
#include "kestrum/dsp/FftSimd.h"
#include "kestrum/dsp/RealFft.h"
#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/ExactKernel.h"
#include "kestrum/kernel/FftKernel.h"
#include "kestrum/kernel/FastKernel.h"
#include "tests/KernelCases.h"
#include "tests/KestrumRun.h"
#include "tests/TestUtil.h"

namespace kestrum {
namespace {

class TMemorySource : public TFrameSource {
public:
  TMemorySource(const test::Bytes& Data, int FrameBytes) : FData(Data), FFrameBytes(size_t(FrameBytes)) {}
  void ReadFrames(uint8_t* Dest, int32_t Count) override {
    const size_t Want = size_t(Count) * FFrameBytes;
    const size_t Have = std::min(Want, FData.size() - std::min(FAt, FData.size()));
    std::memcpy(Dest, FData.data() + FAt, Have);
    std::memset(Dest + Have, 0, Want - Have);
    FAt += Want;
  }
  // A live source: pieces of up to Piece frames, every other one after a wait.
  int32_t ReadArrived(uint8_t* Dest, int32_t Max) override {
    const size_t Left = (FData.size() - std::min(FAt, FData.size())) / FFrameBytes;
    const int32_t Count = static_cast<int32_t>(std::min<size_t>({size_t(Max), size_t(Piece), Left}));
    ReadFrames(Dest, Count);
    return Count;
  }
  bool Ready() override { return (FAt / FFrameBytes / size_t(Piece)) % 2 == 0; }
  int32_t Piece = 300;

private:
  const test::Bytes& FData;
  const size_t FFrameBytes;
  size_t FAt = 0;
};

class TMemorySink : public TFrameSink {
public:
  explicit TMemorySink(int FrameBytes) : FFrameBytes(size_t(FrameBytes)) {}
  void WriteFrames(const uint8_t* Frames, int32_t Count) override {
    Out.insert(Out.end(), Frames, Frames + size_t(Count) * FFrameBytes);
  }
  test::Bytes Out;

private:
  const size_t FFrameBytes;
};

std::vector<double> RandomTaps(std::mt19937& R, size_t Length) {
  std::normal_distribution<double> Normal(0.0, 1.0);
  std::vector<double> Taps(Length);
  for (size_t I = 0; I < Length; ++I) Taps[I] = Normal(R) * std::exp(-3.0 * double(I) / double(Length));
  double Energy = 0.0;
  for (const double T : Taps) Energy += T * T;
  for (double& T : Taps) T /= std::sqrt(Energy);
  return Taps;
}

// y[n] = sum over k of h[k] x[n - k] for the first x.size() frames, summed
// in long double: for 16-bit levels and taps of about 1, within 1e-15 of the
// exact sum, so that its rounding is the correct one but near ties.
std::vector<double> DirectConvolution(const std::vector<double>& X, const std::vector<double>& H) {
  std::vector<double> Y(X.size());
  for (size_t N = 0; N < X.size(); ++N) {
    long double Sum = 0;
    for (size_t K = 0; K < H.size() && K <= N; ++K) Sum += static_cast<long double>(H[K]) * X[N - K];
    Y[N] = static_cast<double>(Sum);
  }
  return Y;
}

// The twiddles come from a series, not libm: every octant must land on the
// right angle, to within a unit in the last place, and the axes exactly.
TEST(FftKernel, TwiddlesAreTheHalfTurnAnglesInEveryOctant) {
  for (size_t N : {1u, 3u, 7u, 256u, 1000u, 16384u}) {
    for (size_t K = 0; K < 4 * N; ++K) {
      const long double Angle = 3.141592653589793238462643383279502884L * static_cast<long double>(K % (2 * N)) /
                                static_cast<long double>(N);
      for (int Sign : {-1, 1}) {
        const std::complex<double> T = HalfTurnTwiddle(K, N, Sign);
        ASSERT_NEAR(T.real(), static_cast<double>(std::cos(Angle)), 1.2e-16) << K << " / " << N;
        ASSERT_NEAR(T.imag(), Sign * static_cast<double>(std::sin(Angle)), 1.2e-16) << K << " / " << N;
      }
    }
  }
  EXPECT_EQ(HalfTurnTwiddle(1, 2, 1), std::complex<double>(0, 1));
  EXPECT_EQ(HalfTurnTwiddle(3, 2, 1), std::complex<double>(0, -1));
  EXPECT_EQ(HalfTurnTwiddle(5, 5, -1), std::complex<double>(-1, 0));
}

// Runs Step once per instruction set the transforms are built for and this
// processor has, then goes back to the widest.
template <class TStep>
void OnEveryFftTarget(const TStep& Step) {
  for (const std::string& Target : dsp::FftSimdTargets()) {
    SCOPED_TRACE("instruction set " + Target);
    dsp::ForceFftSimdTarget(Target);
    fast::ForceSimdTarget(Target);
    Step();
  }
  dsp::ForceFftSimdTarget("");
  fast::ForceSimdTarget("");
}

// The complex transform against the DFT summed in long double, the real one
// back and forth, at every size whose stages differ in shape (a lone first
// stage or none, vectors wider than a stage): and every instruction set gives
// the same bits.
TEST(FftKernel, TransformsAreTheDftToTheSameBitsOnEveryInstructionSet) {
  std::mt19937 R(30);
  std::uniform_real_distribution<double> Level(-1.0, 1.0);
  for (const size_t N : {1u, 2u, 4u, 8u, 16u, 32u, 64u, 128u, 2048u}) {
    SCOPED_TRACE(testing::Message() << N << " points");
    std::vector<std::complex<double>> X(N);
    for (auto& V : X) V = {Level(R), Level(R)};
    std::vector<double> Real(2 * N);
    for (double& V : Real) V = Level(R);
    std::vector<std::complex<double>> Want(N);
    for (size_t K = 0; K < N; ++K) {
      std::complex<long double> Sum = 0;
      for (size_t J = 0; J < N; ++J) {
        const std::complex<double> W = HalfTurnTwiddle(2 * J * K, N, -1);
        Sum += std::complex<long double>(X[J]) * std::complex<long double>(W);
      }
      Want[K] = std::complex<double>(Sum);
    }
    std::vector<std::vector<double>> Bits;  // per instruction set: complex, spectrum, back
    OnEveryFftTarget([&] {
      std::vector<std::complex<double>> Got(N);
      TComplexFft(N).Transform(X.data(), Got.data());
      for (size_t K = 0; K < N; ++K) ASSERT_LT(std::abs(Got[K] - Want[K]), 1e-15 * double(N) + 1e-15) << K;
      const TRealFft Fft{int32_t(N)};
      std::vector<double> Spectrum(2 * N), Back(2 * N);
      Fft.Forward(Real.data(), Spectrum.data());
      std::vector<double> All = Spectrum;
      Fft.Inverse(Spectrum.data(), Back.data());
      for (size_t I = 0; I < 2 * N; ++I) ASSERT_NEAR(Back[I], 2.0 * double(N) * Real[I], 1e-14 * double(N)) << I;
      for (const auto& V : Got) All.insert(All.end(), {V.real(), V.imag()});
      All.insert(All.end(), Back.begin(), Back.end());
      Bits.push_back(All);
    });
    for (size_t T = 1; T < Bits.size(); ++T)
      EXPECT_EQ(std::memcmp(Bits[T].data(), Bits[0].data(), Bits[0].size() * sizeof(double)), 0)
          << dsp::FftSimdTargets()[T] << " against " << dsp::FftSimdTargets()[0];
  }
}

TEST(FftKernel, MatchesADirectDoubleConvolutionAtPartitionEdges) {
  std::mt19937 R(25);
  std::uniform_real_distribution<double> Level(-1.0, 1.0);
  struct TCase {
    size_t Length;
    int32_t Block;
  };
  for (const TCase C : {TCase{1, 256}, {255, 256}, {256, 256}, {257, 256}, {512, 256}, {773, 256}, {5000, 1024}}) {
    SCOPED_TRACE(testing::Message() << C.Length << " taps, blocks of " << C.Block);
    const std::vector<double> Taps = RandomTaps(R, C.Length);
    std::vector<double> X(size_t(C.Block) * 5);
    for (double& V : X) V = Level(R);
    const std::vector<double> Want = DirectConvolution(X, Taps);
    TFftConvolver Convolver(Taps, C.Block);
    std::vector<double> Got(X.size());
    for (size_t At = 0; At < X.size(); At += size_t(C.Block)) Convolver.Process(&X[At], &Got[At]);
    double Error = 0.0;
    for (size_t N = 0; N < X.size(); ++N) Error = std::max(Error, std::fabs(Got[N] - Want[N]));
    EXPECT_LT(Error, 1e-12);  // of full scale, input and taps of about 1
  }
}

// A growing plan: every segment starts at a tap no lower than its block,
// and its convolver gives the direct sum however the signal is cut into
// calls, to the same bits, with no frame held back.
TEST(FftKernel, GrowingPlansGiveTheDirectSumHoweverTheSignalIsCut) {
  std::mt19937 R(31);
  std::uniform_real_distribution<double> Level(-1.0, 1.0);
  struct TCase {
    size_t Length;
    int32_t First, Largest, Growth;
  };
  for (const TCase C : {TCase{1, 16, 64, 4}, {16, 16, 64, 4}, {17, 16, 64, 4}, {1000, 16, 64, 4}, {5000, 32, 256, 8},
                        {3000, 8, 1024, 2}}) {
    SCOPED_TRACE(testing::Message() << C.Length << " taps, first " << C.First << ", largest " << C.Largest);
    const TFftPlan Plan = GrowingFftPlan(C.Length, C.First, C.Largest, C.Growth);
    size_t Offset = size_t(Plan.Direct);
    for (const TFftSegment& S : Plan.Segments) {
      EXPECT_GE(Offset, size_t(S.Block));
      Offset += size_t(S.Block) * size_t(S.Parts);
    }
    EXPECT_GE(Offset, C.Length);
    EXPECT_LT(Offset, C.Length + size_t(Plan.Segments.empty() ? C.First : Plan.Segments.back().Block));
    const std::vector<double> Taps = RandomTaps(R, C.Length);
    std::vector<double> X(6000);
    for (double& V : X) V = Level(R);
    const std::vector<double> Want = DirectConvolution(X, Taps);
    const auto Spectra = std::make_shared<const TFftSpectra>(Taps, Plan);
    std::vector<double> First;
    for (const int32_t MaxCut : {1, 7, 1000}) {
      TFftConvolver Convolver(Spectra);
      EXPECT_EQ(Convolver.Latency(), 0);
      std::vector<double> Got = X;
      for (size_t At = 0; At < X.size();) {
        const int32_t Cut = std::min<int32_t>(int32_t(R() % uint32_t(MaxCut)) + 1, int32_t(X.size() - At));
        Convolver.Process(&Got[At], &Got[At], Cut);
        At += size_t(Cut);
      }
      double Error = 0.0;
      for (size_t N = 0; N < X.size(); ++N) Error = std::max(Error, std::fabs(Got[N] - Want[N]));
      EXPECT_LT(Error, 1e-12) << "calls of up to " << MaxCut << " frames";
      if (First.empty()) First = Got;
      EXPECT_EQ(Got, First) << "calls of up to " << MaxCut << " frames";
    }
    // Segments made on another thread while the convolver runs (fresh
    // spectra, so that their transforms race too), and a convolver that ran
    // before and was Reset, give the same bits. The earlier signal ends on
    // a multiple of every ring's size, so that what it left due lies where
    // the new signal's first frames are read.
    TFftConvolver Ahead(std::make_shared<const TFftSpectra>(Taps, Plan)), Used(Spectra);
    std::thread Maker([&] {
      for (size_t I = 0; I < Ahead.Segments(); ++I) Ahead.MakeSegment(I);
    });
    std::vector<double> Got = X, Again = X, Before(X.rbegin(), X.rbegin() + 4096);
    for (size_t At = 0; At < X.size(); At += 7)
      Ahead.Process(&Got[At], &Got[At], int32_t(std::min<size_t>(7, X.size() - At)));
    Maker.join();
    Used.Process(Before.data(), Before.data(), int32_t(Before.size()));
    Used.Reset();
    Used.Process(Again.data(), Again.data(), int32_t(Again.size()));
    EXPECT_EQ(Got, First) << "segments made ahead";
    EXPECT_EQ(Again, First) << "after Reset";
  }
}

// 16-bit stereo through one filter per channel, in blocks that do not divide
// the run: every sample is the correctly rounded sum, wrapped, but where that
// sum lies within 1e-6 of a tie.
TEST(FftKernel, StoresTheRoundedDoubleSum) {
  std::mt19937 R(7);
  std::uniform_int_distribution<int> Sample(-20000, 20000);
  TLongFilter Filter;
  Filter.Channels = {RandomTaps(R, 3000), RandomTaps(R, 700)};
  const int32_t Frames = 9001;
  std::vector<int16_t> Samples(size_t(Frames) * 2);
  for (int16_t& S : Samples) S = static_cast<int16_t>(Sample(R));
  const test::Bytes In = test::Words(Samples);
  std::vector<double> Want[2];
  for (int C = 0; C < 2; ++C) {
    std::vector<double> X(static_cast<size_t>(Frames));
    for (int32_t N = 0; N < Frames; ++N) X[size_t(N)] = Samples[size_t(N) * 2 + size_t(C)];
    Want[C] = DirectConvolution(X, Filter.Channels[size_t(C)]);
  }
  const TAudioFormat Format{TSampleFormat::Pcm16, 2, 48000};
  for (const int32_t Block : {0, 512}) {
    TMemorySource Source(In, Format.FrameBytes());
    TMemorySink Sink(Format.FrameBytes());
    TOverflowCount Overflow = TOverflowCount::For(Format);
    TRunContext Run(false, Overflow, 5000);
    RunFftKernel(Source, Sink, Format, TRunLength{Frames, false}, Filter, Run, Block == 0 ? 0 : 1, Block);
    ASSERT_EQ(Sink.Out.size(), In.size());
    int Ties = 0, Wrong = 0;
    for (size_t I = 0; I < Samples.size(); ++I) {
      const double Sum = Want[I % 2][I / 2];
      const int16_t Got = static_cast<int16_t>(Sink.Out[2 * I] | Sink.Out[2 * I + 1] << 8);
      if (std::fabs(Sum - std::floor(Sum) - 0.5) < 1e-6)
        ++Ties;
      else if (Got != static_cast<int16_t>(static_cast<int64_t>(std::nearbyint(Sum))))
        ++Wrong;
    }
    EXPECT_EQ(Wrong, 0) << "blocks of " << Block << ", " << Ties << " near ties";
    EXPECT_EQ(Overflow.Samples, int64_t{Frames} * 2);
  }
}

// Every engine stores its sums by the one rule, on every instruction set:
// each format's extreme levels (min, max, one step beyond either) under clip
// and wrap, against a rule written out here. Taps 1 at delays 0 and 1 make
// the sums of the levels max, 0, min, 0, max, step, 0, min, -step; the .fir
// arithmetic sums them in float (a 32-bit max is then 2^31), the FFT engine
// in double, exactly for these levels. Each engine is made by the factory
// and run by the driver (the block engine in blocks of 4 frames), then as a
// stream.
TEST(FftKernel, EveryEngineStoresExtremeLevelsByOneRule) {
  using S = TSampleFormat;
  using enum TEngine;
  TFirFilter Fir;
  test::AddTap(Fir, 0, 1.0f);
  test::AddTap(Fir, 1, 1.0f);
  const TLongFilter Long = LongFilterOf(Fir);
  for (const S Samples : {S::Pcm8, S::Pcm16, S::Pcm24, S::Pcm32, S::Float32, S::Float64}) {
    const bool Float = IsFloat(Samples);
    const int Bytes = BytesPerSample(Samples);
    const double Max = Float ? 1.0 : LevelRange(8 * Bytes).Max, Min = Float ? -1.0 : LevelRange(8 * Bytes).Min;
    const double Step = Samples == S::Float64 ? 0.5 + 0x1p-40 : Float ? 0.5 : 1.0;  // not a float in 64 bits
    const std::vector<double> Levels = {Max, 0, Min, 0, Max, Step, 0, Min, -Step};
    const auto Put = [&](test::Bytes& To, double V) {  // 8-bit: level + 128
      const uint64_t Bits = Samples == S::Float32   ? std::bit_cast<uint32_t>(static_cast<float>(V))
                            : Samples == S::Float64 ? std::bit_cast<uint64_t>(V)
                                                    : static_cast<uint64_t>(int64_t(V) + (Bytes == 1 ? 128 : 0));
      for (int B = 0; B < Bytes; ++B) To.push_back(static_cast<uint8_t>(Bits >> 8 * B));
    };
    test::Bytes In;
    for (const double L : Levels) Put(In, L);
    const TAudioFormat Format{Samples, 1, 8000};
    for (const bool Clip : {false, true}) {
      for (const TEngine Engine : {Reference, Fast, Exact, Fft}) {
        SCOPED_TRACE(testing::Message() << Bytes * 8 << (Float ? "-bit float, " : "-bit, ")
                                        << (Clip ? "clip, " : "wrap, ") << "engine " << int(Engine));
        // What the rule stores, frame by frame, up to the first sum it refuses.
        test::Bytes Want;
        TOverflowCount WantCount = TOverflowCount::For(Format);
        int64_t WantError = -1;
        for (size_t N = 0; N < Levels.size(); ++N) {
          const double Before = N > 0 ? Levels[N - 1] : 0.0;
          const double Sum = Engine == Fft ? Levels[N] + Before
                                           : static_cast<float>(double(static_cast<float>(Levels[N])) + Before);
          double Stored = Clip ? std::clamp(Sum, Min, Max) : Sum;
          if (!Float && !Clip && (Sum < -0x1p31 || Sum >= 0x1p31)) {
            WantError = int64_t(N);
            break;
          }
          if (!Float && !Clip) {  // the low bits, sign-extended
            const int Shift = 32 - 8 * Bytes;
            Stored = static_cast<int32_t>(static_cast<uint32_t>(int64_t(Sum)) << Shift) >> Shift;
          }
          Put(Want, Stored);
          WantCount.Samples += 1;
          WantCount.Overflowed += Sum < Min || Sum > Max;
          WantCount.Peak = std::max(WantCount.Peak, std::fabs(Sum));
        }
        OnEveryFftTarget([&] {
          TMemorySource Source(In, Bytes);
          TMemorySink Sink(Bytes);
          TOverflowCount Count = TOverflowCount::For(Format);
          TRunContext Run(Clip, Count, 5000);
          int64_t Error = -1;
          const TFilter Filter =
              Engine == Reference || Engine == Fast ? FilterOf(Fir, "") : FilterOf(Long, "", "");
          const TRunLength Length{int64_t(Levels.size()), false};
          try {
            const std::unique_ptr<TKernelEngine> Kernel = MakeEngine(Engine, Filter, Format, {Clip, {}, {}}, Length.Frames);
            DriveEngine(*Kernel, Source, Sink, Length, Run, 1, Engine == Fast ? 4 : fast::kBlockFrames);
          } catch (const EMathError& E) {
            Error = E.Frame();
          }
          EXPECT_EQ(Error, WantError);
          EXPECT_EQ(Sink.Out, Want);
          EXPECT_EQ(Count, WantCount);
          TFirStream Stream(Filter, Format, Clip, Engine);
          test::Bytes Streamed;
          Error = -1;
          try {
            Streamed = Stream.Filter(In);
            const test::Bytes Rest = Stream.Flush();
            Streamed.insert(Streamed.end(), Rest.begin(), Rest.end());
          } catch (const EMathError& E) {
            Error = E.Frame();
          }
          EXPECT_EQ(Error, WantError);
          EXPECT_EQ(Stream.Frames() * Bytes, int64_t(Want.size()));  // the frames before a failure
          if (WantError < 0) {
            EXPECT_EQ(Streamed, Want);
          }
          EXPECT_EQ(Stream.Overflow(), WantCount);
        });
      }
    }
  }
}

// FNV-1a of Data, 64 bits.
uint64_t Fnv1a(const test::Bytes& Data) {
  uint64_t Hash = 0xcbf29ce484222325u;
  for (const uint8_t B : Data) Hash = (Hash ^ B) * 0x100000001b3u;
  return Hash;
}

// Fixed runs whose output bytes are pinned by their hash, on every
// instruction set, so that any change to an engine's arithmetic, its order
// of sums or its stores shows, even one that every engine makes alike.
// Samples and taps come from the generator's raw words through exact steps
// only, the same on every machine.
TEST(FftKernel, FixedRunsGiveTheirPinnedBytes) {
  using S = TSampleFormat;
  const struct {
    const char* What;
    S Samples;
    int Channels;
    size_t Taps;  // per channel; .fir: taps at delays spread over the history
    bool Fir, Clip;
    uint64_t Hash;
    bool Live = false;  // a live source: the growing plan
  } Rows[] = {
      {"FFT, 16-bit stereo, clipping", S::Pcm16, 2, 3000, false, true, 0x3a50fd9d8eb55f82},
      {"FFT, float mono", S::Float32, 1, 20000, false, false, 0x03d612214fb8c6ed},
      {"FFT, 64-bit float stereo: the double sums whole", S::Float64, 2, 5000, false, false, 0xc3a0f1888410ce6e},
      {"FFT, 24-bit mono, wrapping", S::Pcm24, 1, 700, false, false, 0x7f329c9f6c3afc5a},
      {".fir, 16-bit stereo", S::Pcm16, 2, 40, true, false, 0x144a7d17b7f36f24},
      {"FFT, live 64-bit float stereo", S::Float64, 2, 5000, false, false, 0xdbff4df371afbd35, true},
  };
  for (const auto& Row : Rows) {
    SCOPED_TRACE(Row.What);
    std::mt19937 R(2026);
    const TAudioFormat Format{Row.Samples, Row.Channels, 48000};
    const int32_t Frames = 30000;
    test::Bytes In;
    for (int32_t I = 0; I < Frames * Row.Channels; ++I) {
      const int32_t Word = int32_t(R());
      const uint64_t Bits = Row.Samples == S::Float32   ? std::bit_cast<uint32_t>(float(Word) * 0x1p-31f)
                            : Row.Samples == S::Float64 ? std::bit_cast<uint64_t>(double(Word) * 0x1p-31)
                            : Row.Samples == S::Pcm24   ? uint32_t(Word >> 10)   // within 22 bits
                                                        : uint32_t(Word >> 17);  // within 15 bits
      for (int B = 0; B < BytesPerSample(Row.Samples); ++B) In.push_back(uint8_t(Bits >> 8 * B));
    }
    TLongFilter Long;
    TFirFilter Fir;
    for (int C = 0; C < (Row.Fir ? 1 : Row.Channels); ++C) {
      std::vector<double> Taps(Row.Taps);
      for (size_t I = 0; I < Row.Taps; ++I) Taps[I] = double(int32_t(R()) >> 8) * 0x1p-23 / (1.0 + double(I) / 16.0);
      Long.Channels.push_back(Taps);
    }
    if (Row.Fir)
      for (size_t I = 0; I < Row.Taps; ++I) test::AddTap(Fir, int32_t(R() % 16384), float(Long.Channels[0][I]));
    OnEveryFftTarget([&] {
      TMemorySource Source(In, Format.FrameBytes());
      TMemorySink Sink(Format.FrameBytes());
      TOverflowCount Overflow = TOverflowCount::For(Format);
      TRunContext Run(Row.Clip, Overflow, 5000);
      if (Row.Fir)
        RunReferenceKernel(Source, Sink, Format, TRunLength{Frames, false}, Fir, Run);
      else
        RunFftKernel(Source, Sink, Format, TRunLength{Frames, Row.Live}, Long, Run, 1);
      ASSERT_EQ(Sink.Out.size(), In.size());
      EXPECT_EQ(Fnv1a(Sink.Out), Row.Hash) << std::hex << "0x" << Fnv1a(Sink.Out);
    });
  }
}

// A sample that is not a finite number fails the run at its own frame, after
// the frames before it, though a transform spreads it over its block; a sum
// that overflows fails it; a huge finite one saturates.
TEST(FftKernel, FailsAtTheFrameThatIsNotFinite) {
  const struct {
    const char* What;
    TSampleFormat Samples;
    int64_t Bad;      // the frame that fails; -1: none
    double BadLevel;  // the level there
    std::vector<double> Taps;
  } Cases[] = {
      {"a NaN sample", TSampleFormat::Float32, 1234, NAN, {1.0, 0.5}},
      {"an infinite sample", TSampleFormat::Float64, 300, -HUGE_VAL, {0.25, 0.25, 0.25}},
      {"a sum beyond the double range", TSampleFormat::Pcm16, 0, 1000, {1e308, 1e308}},
      {"a huge finite sum saturates", TSampleFormat::Pcm16, -1, 1000, {1e300, 1e300}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.What);
    const TAudioFormat Format{C.Samples, 1, 8000};
    const int32_t Frames = 3000;
    test::Bytes In;
    for (int32_t N = 0; N < Frames; ++N) {
      const double Level = N == C.Bad || C.Bad < 0 ? C.BadLevel : 0.25;
      const uint64_t Bits = C.Samples == TSampleFormat::Float32 ? std::bit_cast<uint32_t>(static_cast<float>(Level))
                            : C.Samples == TSampleFormat::Float64 ? std::bit_cast<uint64_t>(Level)
                            : static_cast<uint64_t>(int64_t(Level == 0.25 ? 0 : Level));  // 16-bit: 0 for 0.25
      for (int B = 0; B < BytesPerSample(C.Samples); ++B) In.push_back(static_cast<uint8_t>(Bits >> 8 * B));
    }
    TLongFilter Filter;
    Filter.Channels = {C.Taps};
    TMemorySource Source(In, Format.FrameBytes());
    TMemorySink Sink(Format.FrameBytes());
    TOverflowCount Overflow = TOverflowCount::For(Format);
    TRunContext Run(true, Overflow, 5000);
    int64_t Failed = -1;
    try {
      RunFftKernel(Source, Sink, Format, TRunLength{Frames, false}, Filter, Run, 1);
    } catch (const EMathError& E) {
      Failed = E.Frame();
      EXPECT_NE(std::string(E.what()).find("is not a finite number"), std::string::npos) << E.what();
    }
    EXPECT_EQ(Failed, C.Bad);
    EXPECT_EQ(Sink.Out.size(), size_t(C.Bad < 0 ? Frames : C.Bad) * size_t(Format.FrameBytes()));
    if (C.Bad < 0) {
      EXPECT_EQ(Overflow.Overflowed, Frames);
      EXPECT_TRUE(std::isfinite(Overflow.Peak)) << Overflow.Peak;
    }
    // A stream fails at the same frame.
    TFftStream Stream(Filter, Format, true);
    try {
      Stream.Filter(In);
      Stream.Flush();
      Failed = -1;
    } catch (const EMathError& E) {
      Failed = E.Frame();
    }
    EXPECT_EQ(Failed, C.Bad);
  }
}

// A stream, and a run over a live source, return the file run's bytes
// whichever way the signal is cut.
TEST(FftKernel, StreamSplitsGiveTheRunsBytes) {
  std::mt19937 R(11);
  std::uniform_int_distribution<int> Sample(-128, 127);
  // The second filter is longer than the run, which holds only the
  // partitions its frames reach; the stream holds them all.
  for (const size_t Taps : {2500, 40000}) {
    SCOPED_TRACE(testing::Message() << Taps << " taps");
    TLongFilter Filter;
    Filter.Channels = {RandomTaps(R, Taps)};
    const TAudioFormat Format{TSampleFormat::Pcm8, 2, 8000};
    test::Bytes In(2 * 7000);
    for (uint8_t& B : In) B = static_cast<uint8_t>(Sample(R) + 128);
    TMemorySource Source(In, 2);
    TMemorySink Sink(2);
    TOverflowCount Overflow = TOverflowCount::For(Format);
    TRunContext Run(true, Overflow, 5000);
    RunFftKernel(Source, Sink, Format, TRunLength{7000, false}, Filter, Run);
    // A live source, until its signal ends, gives the same frames.
    TMemorySource Live(In, 2);
    TMemorySink LiveSink(2);
    TRunContext LiveRun(true, Overflow, 5000);
    RunFftKernel(Live, LiveSink, Format, TRunLength{TRunLength::kEndless, true}, Filter, LiveRun);
    EXPECT_EQ(LiveSink.Out, Sink.Out);
    TFftStream Stream(Filter, Format, true);
    for (const size_t Cut : {size_t{2}, size_t{2 * 511}, size_t{2 * 512}, In.size()}) {
      test::Bytes Out;
      for (size_t At = 0; At < In.size(); At += Cut) {
        const test::Bytes Part = Stream.Filter(std::span(In).subspan(At, std::min(Cut, In.size() - At)));
        Out.insert(Out.end(), Part.begin(), Part.end());
      }
      const test::Bytes Rest = Stream.Flush();
      Out.insert(Out.end(), Rest.begin(), Rest.end());
      EXPECT_EQ(Out, Sink.Out) << "calls of " << Cut / 2 << " frames";
    }
  }
}

// Beyond the 16384 frames of a .fir's history, --exact is the float sum in
// tap order: acc = float(double(acc) + level * double(float(tap))).
TEST(FftKernel, ExactIsTheFloatSumOverEveryTap) {
  std::mt19937 R(3);
  std::uniform_int_distribution<int> Sample(-30000, 30000);
  TLongFilter Filter;
  Filter.Channels = {RandomTaps(R, 16500), RandomTaps(R, 900)};  // one per channel
  for (auto& Line : Filter.Channels)
    for (double& T : Line) T *= 0.1;
  const int32_t Frames = 16600;
  std::vector<int16_t> Samples(static_cast<size_t>(Frames) * 2);
  for (int16_t& S : Samples) S = static_cast<int16_t>(Sample(R));
  std::vector<int16_t> Want(Samples.size());
  for (size_t C = 0; C < 2; ++C) {
    const std::vector<double>& Taps = Filter.Channels[C];
    for (int32_t N = 0; N < Frames; ++N) {
      float Acc = 0.0f;
      for (int32_t K = 0; K < int32_t(Taps.size()); ++K) {
        const double Level = K <= N ? Samples[size_t(N - K) * 2 + C] : 0.0;
        Acc = static_cast<float>(double(Acc) + Level * double(static_cast<float>(Taps[size_t(K)])));
      }
      Want[size_t(N) * 2 + C] = static_cast<int16_t>(std::nearbyint(Acc));
    }
  }
  const TAudioFormat Format{TSampleFormat::Pcm16, 2, 48000};
  const test::Bytes In = test::Words(Samples);
  TMemorySource Source(In, 4);
  TMemorySink Sink(4);
  TOverflowCount Overflow = TOverflowCount::For(Format);
  TRunContext Run(false, Overflow, 5000);
  RunExactKernel(Source, Sink, Format, TRunLength{Frames, false}, Filter, Run, 2);
  EXPECT_EQ(Sink.Out, test::Words(Want));
}

TEST(LongFilter, ReadsSamplesAsScaledTaps) {
  test::TScratchDir Dir;
  // Two channels: (0.5, -0.25) then (0.25, 0.5), as 16-bit samples.
  test::WriteFileBytes(Dir / "ir.wav", test::MakeWav(2, 16, 48000, test::Words({16384, -8192, 8192, 16384})));
  struct TCase {
    TLongFilterOptions Options;
    std::vector<std::vector<double>> Want;
  };
  const TCase Cases[] = {
      {{}, {{0.5, 0.25}, {-0.25, 0.5}}},
      {{2, 0.0, TNormalize::None}, {{-0.25, 0.5}}},
      {{1, 20 * std::log10(2.0), TNormalize::None}, {{1.0, 0.5}}},
      {{0, 0.0, TNormalize::Peak}, {{1.0, 0.5}, {-0.5, 1.0}}},
      {{1, 0.0, TNormalize::Energy}, {{0.5 / std::sqrt(0.3125), 0.25 / std::sqrt(0.3125)}}},
  };
  for (const TCase& C : Cases) {
    const TLongFilter Filter = ReadLongFilter(Dir / "ir.wav", C.Options);
    ASSERT_EQ(Filter.Channels.size(), C.Want.size());
    for (size_t Ch = 0; Ch < C.Want.size(); ++Ch)
      for (size_t I = 0; I < 2; ++I) EXPECT_NEAR(Filter.Channels[Ch][I], C.Want[Ch][I], 1e-12);
  }
  EXPECT_TRUE(TFilterFile(Dir / "ir.wav").IsWav());
  test::WriteFileBytes(Dir / "silent.wav", test::MakeWav(1, 16, 48000, test::Words({0, 0})));
  test::WriteFileBytes(Dir / "nan.wav", test::MakeWav(1, 32, 48000, test::Floats({0.5f, NAN})));
  const std::pair<std::string, std::string> Refusals[] = {
      {"ir.wav", "no channel 3"}, {"silent.wav", "silent"}, {"nan.wav", "frame 1 holds a sample that is not a finite number"}};
  for (const auto& [Name, Message] : Refusals) {
    try {
      ReadLongFilter(Dir / Name, {Name == "ir.wav" ? 3 : 0, 0.0, TNormalize::Peak});
      ADD_FAILURE() << Name << " was read";
    } catch (const EGeneralError& E) {
      EXPECT_NE(std::string(E.what()).find(Message), std::string::npos) << E.what();
    }
  }
}

// Through the component: a WAV filter of one unit tap leaves the source as it
// is, and one of two channels does not fit a mono source.
TEST(LongFilter, RunsThroughTheComponent) {
  test::TKestrumRun Run;
  const test::Bytes Data = test::Words({100, -200, 300, 32767, -32768});
  Run.Prepare(1, 16, 8000, Data, "unused\n0\n");
  test::WriteFileBytes(Run.Dir / "unit.wav", test::MakeWav(1, 32, 8000, test::Floats({1.0f})));
  Run.Kestrum.FirFile = Run.Dir / "unit.wav";
  for (const bool Exact : {false, true}) {
    Run.Kestrum.Engine = Exact ? TEngine::Exact : TEngine::Auto;
    Run.Execute();
    EXPECT_EQ(Run.Error, "");
    EXPECT_EQ(Run.Output(), Data);
  }
  test::WriteFileBytes(Run.Dir / "two.wav", test::MakeWav(2, 32, 8000, test::Floats({1.0f, 0.5f})));
  Run.Kestrum.FirFile = Run.Dir / "two.wav";
  Run.Execute();
  EXPECT_NE(Run.Error.find("two.wav has 2 channels and the source 1"), std::string::npos) << Run.Error;
}

}  // namespace
}  // namespace kestrum
