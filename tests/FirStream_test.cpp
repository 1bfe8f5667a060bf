// Tests TFirStream: the bytes of a file run whatever the cut into calls,
// under any floating-point environment of the host, and its refusals.
#include "kestrum/kernel/FirStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cfenv>
#include <cstring>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "kestrum/base/Errors.h"
#include "kestrum/kernel/FastKernel.h"
#include "kestrum/kernel/FftKernel.h"
#include "kestrum/filter/Filter.h"
#include "kestrum/filter/LongFilter.h"
#include "tests/KernelCases.h"

namespace kestrum {
namespace {

using namespace test;

// The in-memory filter over C's frames (silence past its data), cut into
// pieces of random sizes: single frames, odd sizes and pieces longer than a
// block; 16-bit and float pieces go in as bytes or as samples, some in
// place. Out holds the frames written before any error, then those Flush
// gives (what an engine with latency held back).
TOutcome RunStream(TFirStream& Stream, const TCase& C, std::mt19937& R) {
  const size_t FrameBytes = static_cast<size_t>(Stream.FrameBytes());
  const TSampleFormat Samples = C.Format().Samples;
  Bytes In(static_cast<size_t>(std::max(C.NbEch, 0)) * FrameBytes, Samples == TSampleFormat::Pcm8 ? 0x80 : 0x00);
  std::copy_n(C.Data.begin(), std::min(C.Data.size(), In.size()), In.begin());
  TOutcome Got;
  for (size_t Done = 0; Done < In.size() && Got.Error.empty();) {
    const size_t Sizes[] = {1, 1 + 2 * (R() % 500), fast::kBlockFrames + 1 + R() % 20000};
    const size_t Size = std::min(Sizes[R() % 3] * FrameBytes, In.size() - Done);
    Bytes Piece(Size);
    std::span<const uint8_t> From(In.data() + Done, Size);
    if (R() % 2) {  // in place
      std::copy_n(In.begin() + ptrdiff_t(Done), Size, Piece.begin());
      From = Piece;
    }
    const int64_t Before = Stream.Frames();
    try {
      if (Samples == TSampleFormat::Pcm16 && R() % 2)
        Stream.Filter(std::span<const int16_t>(reinterpret_cast<const int16_t*>(From.data()), Size / 2),
                      std::span<int16_t>(reinterpret_cast<int16_t*>(Piece.data()), Size / 2));
      else if (Samples == TSampleFormat::Float32 && R() % 2)
        Stream.Filter(std::span<const float>(reinterpret_cast<const float*>(From.data()), Size / 4),
                      std::span<float>(reinterpret_cast<float*>(Piece.data()), Size / 4));
      else
        Stream.Filter(From, Piece);
    } catch (const EMathError& E) {
      Got.Error = std::string("EMathError: ") + E.what();
    }
    Got.Out.insert(Got.Out.end(), Piece.begin(), Piece.begin() + ptrdiff_t(size_t(Stream.Frames() - Before) * FrameBytes));
    Done += Size;
  }
  try {
    const Bytes Rest = Stream.Flush();
    Got.Out.insert(Got.Out.end(), Rest.begin(), Rest.end());
  } catch (const EMathError& E) {
    Got.Error = std::string("EMathError: ") + E.what();
  }
  Got.Overflow = Stream.Overflow();
  return Got;
}

// The error a stream gives where the reference kernel's failing sum holds a
// float sample that is not a finite number: that sample's frame, as a file
// run names it.
void NameNonFiniteSample(TOutcome& Want, const TCase& C) {
  const TAudioFormat Format = C.Format();
  if (Want.Error.empty() || !Format.Float()) return;
  const int64_t Bad = static_cast<int64_t>(Want.Out.size()) / Format.FrameBytes();
  const int64_t History = fast::TBlockEngine(C.Filter, Format, C.Clip).Taps.MaxDelay;
  const size_t Width = static_cast<size_t>(BytesPerSample(Format.Samples));
  for (int64_t F = std::max<int64_t>(Bad - History, 0); F <= Bad; ++F)
    for (size_t At = static_cast<size_t>(F * Format.FrameBytes()), End = At + static_cast<size_t>(Format.FrameBytes());
         At < End && End <= C.Data.size(); At += Width) {
      uint64_t Bits = 0;
      std::memcpy(&Bits, &C.Data[At], Width);
      const double Value = Width == 4 ? double(std::bit_cast<float>(uint32_t(Bits))) : std::bit_cast<double>(Bits);
      if (!std::isfinite(Value)) {
        Want.Error = std::string("EMathError: ") + NonFiniteSampleError(F).what();
        return;
      }
    }
}

TEST(FirStream, GivesAFileRunsBytesWhateverTheSplitAndAfterAReset) {
  std::mt19937 R(12);
  for (int I = 0; I < 40; ++I) {
    TCase C = RandomCase(R, fast::kBlockFrames);
    C.Target.reset();  // a stream writes its own format, undithered
    C.Dither.reset();
    SCOPED_TRACE(testing::Message() << "case " << I << ": " << C.Channels << " x " << C.Bits << " bits, "
                                    << C.NbEch << " frames, " << C.Filter.NbTaps << " taps"
                                    << (C.Clip ? ", clipping" : ""));
    TOutcome Want = RunReference(C);
    Want.Progress.clear();
    Want.Overflow.Bits = C.Format().Bits();
    Want.Overflow.Float = C.Format().Float();
    NameNonFiniteSample(Want, C);
    TFirStream Stream(C.Filter, C.Format(), C.Clip);
    EXPECT_EQ(RunStream(Stream, C, R), Want);
    Stream.Reset();
    EXPECT_EQ(RunStream(Stream, C, R), Want);
  }
}

// Taps at the far end of the history (to 16383 frames) over 50 000 frames,
// cut at random: the FIR stream moves its history back within its buffer
// again and again, the FFT stream carries it across blocks and partitions,
// and each must keep every level at its own delay: the file run's bytes.
TEST(FirStream, KeepsFarDelaysAcrossLongRandomSplits) {
  std::mt19937 R(29);
  const struct {
    int Channels, Bits;
    int32_t MaxDelay;
  } Rows[] = {{2, 16, 16383}, {1, 32, 16383}, {3, 24, 9000}, {1, 8, 300}};
  for (const auto& Row : Rows) {
    SCOPED_TRACE(testing::Message() << Row.Channels << " x " << Row.Bits << " bits, delays to " << Row.MaxDelay);
    TCase C;
    C.Channels = Row.Channels;
    C.Bits = Row.Bits;
    C.NbEch = 50000;
    C.Data.resize(size_t(C.NbEch) * size_t(C.Format().FrameBytes()));
    for (size_t I = 0; I < C.Data.size(); I += 4) {  // noise; float samples within -1 to 1
      const uint32_t Bits = Row.Bits == 32 ? std::bit_cast<uint32_t>(float(int32_t(R())) * 0x1p-31f) : uint32_t(R());
      for (size_t B = 0; B < 4 && I + B < C.Data.size(); ++B) C.Data[I + B] = uint8_t(Bits >> 8 * B);
    }
    // The delays next to either end, one tap at each, and some between.
    for (const int32_t Delay : {0, 1, 2, Row.MaxDelay - 1, Row.MaxDelay})
      AddTap(C.Filter, Delay, float(int(R() % 15) - 7) / 64.0f + 1.0f / 128.0f);
    for (int I = 0; I < 12; ++I)
      AddTap(C.Filter, int32_t(R() % uint32_t(Row.MaxDelay)), float(int(R() % 15) - 7) / 64.0f);
    // Every engine through the one stream class, against its file run: the
    // .fir engines give the reference's bytes; the exact engine sums a long
    // filter's taps in delay order, the FFT engine in double.
    TOutcome Want = RunReference(C);
    Want.Progress.clear();
    TOutcome WantFft = RunFft(C, 1);
    WantFft.Progress.clear();
    const TFilter Long = FilterOf(LongFilterOf(C.Filter), "", "");
    TOutcome WantExact = Want;
    const std::unique_ptr<TKernelEngine> Exact = MakeEngine(TEngine::Exact, Long, C.Format(), {});
    ApplyEngine(*Exact, C.Data, WantExact.Out, 0);
    for (const TEngine Engine : {TEngine::Reference, TEngine::Fast, TEngine::Exact, TEngine::Fft}) {
      SCOPED_TRACE(testing::Message() << "engine " << int(Engine));
      TFirStream Stream(Engine == TEngine::Exact || Engine == TEngine::Fft ? Long : FilterOf(C.Filter, ""),
                        C.Format(), false, Engine);
      const TOutcome Got = RunStream(Stream, C, R);
      const TOutcome& Wanted = Engine == TEngine::Fft ? WantFft : Engine == TEngine::Exact ? WantExact : Want;
      EXPECT_EQ(Got.Out, Wanted.Out);
      EXPECT_EQ(Got.Error, Wanted.Error);
      EXPECT_EQ(Got.Overflow.Overflowed, Wanted.Overflow.Overflowed);
      EXPECT_EQ(Got.Overflow.Samples, Wanted.Overflow.Samples);
    }
  }
}

// A floating-point environment a host may leave on its thread: a rounding
// mode, or flush-to-zero and denormals-are-zero (x86 only).
struct TFloatEnvCase {
  const char* Name;
  int Round;
  bool FlushDenormals;
};

void SetFloatEnv(const TFloatEnvCase& Env) {
  ASSERT_EQ(std::fesetround(Env.Round), 0);
#if defined(__SSE__) || defined(__x86_64__)
  if (Env.FlushDenormals) _mm_setcsr(_mm_getcsr() | 0x8040);  // FTZ | DAZ
#endif
}

// Every run, file or stream, either kernel, computes as in the default
// environment and gives the caller's back.
TEST(FastKernel, KeepsItsArithmeticWhateverTheHostsFloatEnvironment) {
  const TFloatEnvCase Envs[] = {{"upward", FE_UPWARD, false}, {"downward", FE_DOWNWARD, false},
                                {"toward zero", FE_TOWARDZERO, false}, {"FTZ and DAZ", FE_TONEAREST, true}};
  // Sums that round differently in another mode, and float sums (from
  // subnormal samples) that FTZ/DAZ would flush.
  const std::vector<int32_t> Levels = {3, -3, 5, 7, -100, 11, 0, 0};
  Bytes Bytes8;
  for (int32_t L : Levels) Bytes8.push_back(static_cast<uint8_t>(L + 128));
  const struct {
    int Bits, Channels;
    Bytes Data;
  } Inputs[] = {{8, 1, Bytes8},
                {16, 2, test::Words({3, 3, -3, -3, 5, 5, 7, 7, -100, -100, 11, 11, 0, 0, 0, 0})},
                {24, 1, test::Int24s(Levels)},
                {32, 1, test::Floats({3, -3, 5, 7, -100, 11, 1e-40f, -3e-39f})}};
  for (const auto& In : Inputs) {
    TCase C;
    C.Bits = In.Bits;
    C.Channels = In.Channels;
    C.Data = In.Data;
    C.NbEch = static_cast<int32_t>(Levels.size());
    AddTap(C.Filter, 0, 0.5f);
    AddTap(C.Filter, 1, 0.1f);
    SCOPED_TRACE(C.Bits);
    const TOutcome Want = RunReference(C);
    if (C.Bits == 16) {
      EXPECT_EQ(Want.Out, test::Words({2, 2, -1, -1, 2, 2, 4, 4, -49, -49, -4, -4, 1, 1, 0, 0}));
    }
    for (const TFloatEnvCase& Env : Envs) {
      SCOPED_TRACE(Env.Name);
      std::fenv_t Saved;
      std::fegetenv(&Saved);
      SetFloatEnv(Env);
      std::fenv_t Host;
      std::fegetenv(&Host);
      const TOutcome Reference = RunReference(C), Fast = RunFast(C, 2, 4);
      std::mt19937 R(1);
      TFirStream Stream(C.Filter, TAudioFormat{C.Bits == 32 ? TSampleFormat::Float32 : SampleFormatOf(C.Bits == 16, C.Bits == 24, false), C.Channels});
      const TOutcome Streamed = RunStream(Stream, C, R);
      std::fenv_t After;
      std::fegetenv(&After);
      std::fesetenv(&Saved);
      EXPECT_EQ(Reference, Want);
      EXPECT_EQ(Fast, Want);
      EXPECT_EQ(Streamed.Out, Want.Out);
      EXPECT_EQ(std::memcmp(&Host, &After, sizeof Host), 0) << "the host's environment is not restored";
    }
  }
}

// A sample that is not a number, 5 frames before the sum that first holds
// it, named by its own frame wherever blocks and calls cut the signal, and
// counted from the number the stream's first frame was given.
TEST(FirStream, NamesASampleThatIsNotANumberByItsFrame) {
  struct TNanCase {
    int64_t Nan;     // its frame
    int64_t Cut;     // frames of the first call
    int64_t Number;  // NumberFrom
  };
  constexpr int64_t kBlock = fast::kBlockFrames;
  const TNanCase Cases[] = {{42, 45, 0}, {kBlock - 2, 2 * kBlock, 0}, {kBlock - 2, kBlock, 1000}, {0, 1, 7}};
  for (const TNanCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << "NaN at " << C.Nan << ", cut at " << C.Cut << ", from " << C.Number);
    TFirStream Stream(MakeFirFilter(std::vector<TFirTap>{{5, 0.5f}, {9, 0.25f}}), ff_stereo, ff_32bitsFloat);
    Stream.NumberFrom(C.Number);
    std::vector<float> In(2 * static_cast<size_t>(2 * kBlock), 0.0f), Out(In.size());
    In[2 * static_cast<size_t>(C.Nan) + 1] = NAN;
    const size_t Cut = 2 * static_cast<size_t>(C.Cut);
    try {
      Stream.Filter(std::span<const float>(In).first(Cut), std::span<float>(Out).first(Cut));
      Stream.Filter(std::span<const float>(In).subspan(Cut), std::span<float>(Out).subspan(Cut));
      ADD_FAILURE() << "no error";
    } catch (const EMathError& E) {
      EXPECT_EQ(E.Frame(), C.Number + C.Nan);
      EXPECT_EQ(std::string(E.what()), NonFiniteSampleError(C.Number + C.Nan).what());
      EXPECT_EQ(Stream.Frames(), C.Nan + 5);  // the frames before the failing sum
    }
  }
}

TEST(FirStream, RefusesBuffersThatAreNotWholeFrames) {
  TFirStream Stream(TFirFilter{}, ff_stereo, ff_8bits);
  Bytes Buffer(6);
  EXPECT_THROW(Stream.Filter(std::span<const uint8_t>(Buffer.data(), 3), std::span<uint8_t>(Buffer.data(), 3)), std::invalid_argument);
  EXPECT_THROW(Stream.Filter(std::span<const uint8_t>(Buffer.data(), 4), std::span<uint8_t>(Buffer.data(), 2)), std::invalid_argument);
  std::vector<int16_t> Samples(2);
  EXPECT_THROW(Stream.Filter(Samples, Samples), std::invalid_argument);
  std::vector<float> Floats(2);
  EXPECT_THROW(Stream.Filter(Floats, Floats), std::invalid_argument);
}
// Either kind of filter: a .fir (the block engine) and a long filter (the
// FFT engine, which holds frames back until Flush).
std::vector<TFilter> BothKinds(const TFirFilter& Fir) {
  return {FilterOf(Fir, "short"), FilterOf(LongFilterOf(Fir), "long", "")};
}

// The frames Stream writes for In, then those Flush gives.
Bytes FilterAll(TFirStream& Stream, std::span<const uint8_t> In) {
  Bytes Out = Stream.Filter(In);
  const Bytes Rest = Stream.Flush();
  Out.insert(Out.end(), Rest.begin(), Rest.end());
  return Out;
}

TEST(FirStream, RefusesUseAfterAMoveUntilAssigned) {
  for (const TFilter& Filter : BothKinds(MakeFirFilter(std::vector<TFirTap>{{0, 0.5f}}))) {
    SCOPED_TRACE(Filter.Name);
    TFirStream Stream(Filter, TAudioFormat{TSampleFormat::Pcm16, 1, 8000});
    TFirStream Other = std::move(Stream);
    const Bytes In = test::Words({4, 8});
    Bytes Out(In.size());
    EXPECT_THROW(Stream.Filter(In, Out), std::logic_error);  // NOLINT(bugprone-use-after-move)
    EXPECT_THROW(Stream.Flush(), std::logic_error);
    EXPECT_THROW(Stream.Frames(), std::logic_error);
    EXPECT_THROW(Stream.Latency(), std::logic_error);
    Stream = std::move(Other);
    EXPECT_EQ(FilterAll(Stream, In), test::Words({2, 4}));
  }
}

// A sum that fails leaves the stream after the good frames, as if the
// signal had ended there, whichever engine and wherever the failing frame
// falls in a block: the frames before it are written (those held back come
// with Flush), and what follows continues from them.
TEST(FirStream, StandsAfterTheGoodFramesOfAFailingCall) {
  TFirFilter Fir = MakeFirFilter(std::vector<TFirTap>{{0, 1.0f}, {3, 0.5f}, {700, 0.25f}});
  for (const TFilter& Filter : BothKinds(Fir)) {
    for (const int64_t Bad : {int64_t{0}, int64_t{300}, int64_t{1023}, int64_t{1024}, int64_t{5000}}) {
      SCOPED_TRACE(testing::Message() << Filter.Name << ", NaN at " << Bad);
      const TAudioFormat Format{TSampleFormat::Float32, 1, 8000};
      std::vector<float> Signal(6000);
      for (size_t I = 0; I < Signal.size(); ++I) Signal[I] = float(int(I % 97) - 48) / 64.0f;
      std::vector<float> In = Signal;
      In[size_t(Bad)] = NAN;
      const auto AsBytes = [](const std::vector<float>& V) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(V.data()), V.size() * 4);
      };
      // What a stream gives the signal without the failing frame.
      std::vector<float> Without = Signal;
      Without.erase(Without.begin() + Bad);
      TFirStream Clean(Filter, Format);
      const Bytes Want = FilterAll(Clean, AsBytes(Without));

      TFirStream Stream(Filter, Format);
      const std::span<const uint8_t> All = AsBytes(In);
      // The failing call goes on past the failing frame and its block.
      const size_t Cut = size_t(Bad + 1 + 300) * 4;
      Bytes Got(Cut);
      int64_t Failed = -1;
      try {
        Stream.Filter(All.first(Cut), Got);
      } catch (const EMathError& E) {
        Failed = E.Frame();
      }
      ASSERT_EQ(Failed, Bad);
      Got.resize(size_t(Stream.Frames()) * 4);
      // The rest of the signal after the failing frame, as a new call.
      const Bytes Rest = FilterAll(Stream, All.subspan(size_t(Bad + 1) * 4));
      Got.insert(Got.end(), Rest.begin(), Rest.end());
      EXPECT_EQ(Got, Want);
    }
  }
}

}  // namespace
}  // namespace kestrum
