// Tests the fast kernel against the reference, byte for byte, through real
// files: random filters and lengths around block edges, on every instruction
// set and thread count, and the same failures at the same frame.
#include "kernel/FastKernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "base/Errors.h"
#include "kernel/FirStream.h"
#include "filter/Kestrum.h"
#include "filter/WavFrames.h"
#include "tests/TestUtil.h"

namespace kestrum {
namespace {

using test::Bytes;

struct TCase {
  int Channels = 1, Bits = 16;
  Bytes Data;         // sample bytes
  int32_t NbEch = 0;  // frames to filter; past the data they are silence
  TFirFilter Filter;
  bool Clip = false;
};

// What a run shows: the bytes handed to the writer, the progress reports,
// the error message and the overflow counts.
struct TOutcome {
  Bytes Out;
  std::vector<int32_t> Progress;
  std::string Error;
  TOverflowCount Overflow;
  bool operator==(const TOutcome&) const = default;
};

using TKernel = std::function<void(TFrameSource&, TFrameSink&, const TAudioFormat&, int32_t, const TFirFilter&,
                                   TRunContext&)>;

TOutcome Run(const TCase& C, const TKernel& Kernel, int32_t ThrowAt = -1) {
  test::TScratchDir Dir;
  test::WriteFileBytes(Dir / "in.wav", test::MakeWav(C.Channels, C.Bits, 8000, C.Data));
  TReadWavFile Reader;
  Reader.FileName = Dir / "in.wav";
  Reader.SetActive(true);
  TWriteWavFile Writer;
  Writer.FileName = Dir / "out.wav";
  Writer.SetActive(true);
  Writer.SetFormat(Reader.Format());
  TOutcome Outcome;
  TRunContext Context(C.Clip, Outcome.Overflow, PROGRESS_STEP, [&](int32_t Done) {
    Outcome.Progress.push_back(Done);
    if (Done == ThrowAt) throw std::runtime_error("stopped by the host");
  });
  TWavFrameSource Source(Reader);
  TWavFrameSink Sink(Writer);
  try {
    Kernel(Source, Sink, Reader.Format(), C.NbEch, C.Filter, Context);
  } catch (const std::exception& E) {
    Outcome.Error = std::string(dynamic_cast<const EMathError*>(&E) ? "EMathError: " : "other: ") + E.what();
  }
  try {
    Writer.Close();
    Outcome.Out = test::WavSamples(test::ReadFileBytes(Dir / "out.wav"));
  } catch (const EGeneralError&) {  // no frame written
  }
  return Outcome;
}

TOutcome RunReference(const TCase& C) { return Run(C, RunReferenceKernel); }

// Runs Check with each instruction set forced in turn, then restores the widest.
void OnEverySimdTarget(const std::function<void()>& Check) {
  for (const std::string& Target : fast::SimdTargets()) {
    SCOPED_TRACE(Target);
    fast::ForceSimdTarget(Target);
    Check();
  }
  fast::ForceSimdTarget("");
}

// The fast kernel in blocks of Block frames; the default size goes through
// the public entry point.
TOutcome RunFast(const TCase& C, int Threads, int32_t Block, int32_t ThrowAt = -1) {
  return Run(C, [&](TFrameSource& In, TFrameSink& Out, const TAudioFormat& Format, int32_t N, const TFirFilter& F,
                    TRunContext& Context) {
    if (Block == fast::kBlockFrames)
      RunFastKernel(In, Out, Format, N, F, Context, Threads);
    else
      fast::RunBlocks(In, Out, Format, N, F, Context, Threads, Block);
  }, ThrowAt);
}

void AddTap(TFirFilter& F, int32_t Delay, float Coef) {
  F.Delays[F.NbTaps] = Delay;
  F.Coefs[F.NbTaps++] = Coef;
}

// A random case: any format, a length around a block edge or beyond the
// history, delays from anywhere in 32 bits, and coefficients of one kind:
// plain, ties, subnormal, near the float limit, making sums beyond 32 bits or
// with sums near 2^127 whose filters fall on either side of the split's guard.
TCase RandomCase(std::mt19937& R, int32_t Block) {
  TCase C;
  C.Channels = 1 + R() % 2;
  C.Bits = 8 << R() % 3;
  if (R() % 4 == 0) C.Bits = 24;
  const int32_t Lengths[] = {0, 1, Block - 1, Block, Block + 1, 3 * Block + 7, 16385, 20000 + static_cast<int32_t>(R() % 5000)};
  const int32_t Frames = std::max(Lengths[R() % 8], 0);
  C.NbEch = Frames + (R() % 4 == 0 ? static_cast<int32_t>(R() % 50) : 0);
  // Silence up to a random frame in half the cases, so that sums that
  // overflow first do so anywhere in the file, then noise: any bytes, or
  // for float, values of one scale (sums in the subnormal range, ordinary,
  // near the float limit) with now and then a NaN, an infinity or -0.
  std::uniform_real_distribution<float> Unit(-1.0f, 1.0f);
  const size_t SampleBytes = static_cast<size_t>(C.Bits / 8), Samples = static_cast<size_t>(Frames) * C.Channels;
  const size_t Quiet = R() % 2 ? 0 : (R() % (Frames + 1)) * C.Channels;
  const float Scale = std::array{1e-38f, 1e-42f, 1.0f, 1e30f}[R() % 4];
  const bool Specials = R() % 4 == 0;
  C.Data.resize(Samples * SampleBytes);
  for (size_t I = 0; I < Samples; ++I) {
    uint8_t* const P = &C.Data[I * SampleBytes];
    if (I < Quiet) {
      std::fill(P, P + SampleBytes, C.Bits == 8 ? 0x80 : 0x00);
    } else if (C.Bits == 32) {
      const float Special = std::array{-0.0f, std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(), 1e-45f}[R() % 4];
      WriteU32LE(P, std::bit_cast<uint32_t>(Specials && R() % 2000 == 0 ? Special : Unit(R) * Scale));
    } else {
      for (size_t B = 0; B < SampleBytes; ++B) P[B] = static_cast<uint8_t>(R());
    }
  }

  const int32_t TapCounts[] = {0, 1, 2, 7, 17, 1000, 1 + static_cast<int32_t>(R() % 40)};
  int32_t NbTaps = TapCounts[R() % 7];
  if (int64_t{NbTaps} * C.NbEch > 8'000'000) NbTaps = 1 + R() % 40;  // keeps the reference quick
  const int32_t Special[] = {0, 1, 16383, 16384, 16385, -1, INT32_MIN, INT32_MAX};
  const int Kind = R() % 6;
  for (int32_t I = 0; I < NbTaps; ++I) {
    const int DelayKind = R() % 5;
    const int32_t Delay = DelayKind < 2 ? I : DelayKind == 2 ? Special[R() % 8] : static_cast<int32_t>(R());
    const float Coefs[] = {
        Unit(R) / std::sqrt(static_cast<float>(NbTaps)),
        std::ldexp(static_cast<float>(static_cast<int>(R() % 9) - 4), -static_cast<int>(R() % 4)),  // k/2^n: ties
        R() % 2 ? 1e-40f : (R() % 2 ? 1e-45f : Unit(R)),
        Unit(R) * 1.2e34f,  // sums near and past 3.4e38 with 16-bit levels
        Unit(R) * 2e5f,     // sums past 2^31
        Unit(R) * std::ldexp(1.0f, 111 + static_cast<int>(R() % 4)) / static_cast<float>(NbTaps),
    };
    AddTap(C.Filter, Delay, Coefs[Kind]);
  }
  C.Filter.NbTaps = R() % 20 == 0 ? -NbTaps : NbTaps;  // a negative count means no taps
  C.Clip = R() % 3 == 0;
  return C;
}

TEST(FastKernel, GivesTheReferenceBytesOnEveryInstructionSetAndThreadCount) {
  std::mt19937 R(2024);
  const int32_t Blocks[] = {1, 7, 64, 1000, 4096, fast::kBlockFrames};
  for (int I = 0; I < 108; ++I) {
    const int32_t Block = Blocks[I % 6];
    const TCase C = RandomCase(R, Block);
    SCOPED_TRACE(testing::Message() << "case " << I << ": " << C.Channels << " x " << C.Bits << " bits, "
                                    << C.NbEch << " frames, " << C.Filter.NbTaps << " taps, block " << Block
                                    << (C.Clip ? ", clipping" : ""));
    const TOutcome Want = RunReference(C);
    for (const std::string& Target : fast::SimdTargets()) {
      fast::ForceSimdTarget(Target);
      for (int Threads : {1, 2, 3}) {
        SCOPED_TRACE(Target + ", threads " + std::to_string(Threads));
        EXPECT_EQ(RunFast(C, Threads, Block), Want);
      }
    }
    fast::ForceSimdTarget("");
  }
}

TEST(FastKernel, RoundsToDoubleThenFloatAfterEveryTap) {
  // 32513 * 1024 + 16384 * 33025 * 2^-30 = 2^24 + 1 + 2^-30: to double
  // 2^24 + 1, to float the tie 2^24 (one rounding would give 2^24 + 2).
  TCase C;
  C.Data = test::Words({32513, 16384});
  C.NbEch = 2;
  AddTap(C.Filter, 0, 1024.0f);
  AddTap(C.Filter, 1, std::ldexp(33025.0f, -30));
  OnEverySimdTarget([&] { EXPECT_EQ(RunFast(C, 1, fast::kBlockFrames).Out, test::Words({1024, 0})); });
  EXPECT_EQ(RunReference(C).Out, test::Words({1024, 0}));
}

TEST(FastKernel, GivesTheReferenceSumsNearTheFloatLimit) {
  // Two frames; every sum is far beyond 32 bits or not a number, so the run
  // fails and its message shows the float sum the kernel reached.
  const float C = std::ldexp(1.0f - std::ldexp(1.0f, -16), 112);  // 32768 * C just below 2^127
  const float Inf = std::numeric_limits<float>::infinity();
  struct {
    const char* What;
    int16_t Level;
    std::vector<std::pair<int32_t, float>> Taps;  // delay, coefficient
    bool Split;
  } Cases[] = {
      {"one tap, inside the guard", 32767, {{0, C}}, true},
      {"three taps, inside the guard", -32768, {{0, C / 4}, {0, C / 4}, {0, C / 2}}, true},
      {"one tap, just outside the guard", 32767, {{0, std::ldexp(1.0f, 112)}}, false},
      {"an overflow that a later tap cancels", 30000, {{0, 1.2e34f}, {0, -1.2e34f}}, false},
      {"an infinite coefficient on a tap that reads only silence", 1, {{0, 1.0f}, {2, Inf}}, false},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TCase Run;
    Run.Data = test::Words({Case.Level, Case.Level});
    Run.NbEch = 2;
    for (const auto& [Delay, Coef] : Case.Taps) AddTap(Run.Filter, Delay, Coef);
    EXPECT_EQ(fast::TTaps(Run.Filter, 32768.0).Split, Case.Split);
    const TOutcome Want = RunReference(Run);
    ASSERT_NE(Want.Error, "");
    OnEverySimdTarget([&] { EXPECT_EQ(RunFast(Run, 1, fast::kBlockFrames), Want); });
  }
}

TEST(FastKernel, KeepsFloatSumsExactWhereASplitOrASkippedTapWouldNot) {
  // Float levels times float coefficients are not multiples of 2^-149: below
  // the smallest normal float a split would keep bits that float rounding
  // drops. And a tap that reads only silence still turns -0 into +0.
  struct {
    const char* What;
    std::vector<float> Samples;
    std::vector<std::pair<int32_t, float>> Taps;  // delay, coefficient
  } Cases[] = {
      {"sums in the subnormal range", {3e-39f, -7e-40f, 1e-38f, 5e-41f}, {{0, 0.3f}, {1, 0.7f}}},
      {"-0 and a silent tap", {-1e-45f, -1e-45f}, {{0, 0.25f}, {5, 1.0f}}},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.What);
    TCase Run;
    Run.Bits = 32;
    Run.Data = test::Floats(Case.Samples);
    Run.NbEch = static_cast<int32_t>(Case.Samples.size());
    for (const auto& [Delay, Coef] : Case.Taps) AddTap(Run.Filter, Delay, Coef);
    EXPECT_FALSE(fast::TapsFor(Run.Filter, {TSampleFormat::Float32, 1}).Split);
    const TOutcome Want = RunReference(Run);
    OnEverySimdTarget([&] { EXPECT_EQ(RunFast(Run, 1, fast::kBlockFrames), Want); });
  }
}

TEST(FastKernel, FailsAtTheSameFrameAfterTheSameReports) {
  // Small levels everywhere, and at frame 7777 levels whose sum overflows.
  struct {
    const char* What;
    int Channels;
    int16_t Level;
    float Coef;
    std::vector<int16_t> At7777;
  } Cases[] = {
      {"mono, float overflow", 1, 0, 1.2e34f, {30000}},
      {"mono, beyond 32 bits", 1, 1, 1e5f, {-30000}},
      {"stereo, second channel only", 2, -2, 1e5f, {3, 30000}},
      {"stereo, both channels: the first one's sum is reported", 2, 3, 1e5f, {-30000, 32000}},
  };
  for (const auto& Case : Cases) {
    TCase C;
    C.Channels = Case.Channels;
    std::vector<int16_t> Samples(12000 * C.Channels, Case.Level);
    std::copy(Case.At7777.begin(), Case.At7777.end(), Samples.begin() + 7777 * C.Channels);
    C.Data = test::Words(Samples);
    C.NbEch = 12000;
    AddTap(C.Filter, 0, Case.Coef);
    AddTap(C.Filter, 3, Case.Coef);
    const TOutcome Want = RunReference(C);
    ASSERT_EQ(Want.Out.size(), 7777u * C.Channels * 2);
    ASSERT_EQ(Want.Progress, std::vector<int32_t>{5000});
    ASSERT_EQ(Want.Error.rfind("EMathError: arithmetic overflow at frame 7777:", 0), 0u) << Want.Error;
    for (int Threads : {1, 2, 3})
      for (int32_t Block : {1000, 7777, 7778, fast::kBlockFrames}) {
        SCOPED_TRACE(testing::Message() << Case.What << ", threads " << Threads << ", block " << Block);
        EXPECT_EQ(RunFast(C, Threads, Block), Want);
      }
  }
}

TEST(FastKernel, LetsAProgressHandlerStopTheRun) {
  TCase C;
  C.Data = Bytes(100000 * 2, 7);
  C.NbEch = 100000;
  AddTap(C.Filter, 0, 0.5f);
  for (int Threads : {1, 2, 3}) {
    SCOPED_TRACE(Threads);
    const TOutcome Got = RunFast(C, Threads, 1000, 10000);
    EXPECT_EQ(Got.Error, "other: stopped by the host");
    EXPECT_EQ(Got.Progress, (std::vector<int32_t>{5000, 10000}));
  }
}

TEST(FastKernel, DoesNothingForNoFrames) {
  TCase C;
  C.Data = test::Words({1, 2, 3});
  AddTap(C.Filter, 0, 1.0f);
  for (int32_t NbEch : {0, -1, INT32_MIN}) {
    C.NbEch = NbEch;
    EXPECT_EQ(RunFast(C, 0, 64), TOutcome{});
  }
}

// The in-memory filter over C's frames (silence past its data), cut into
// pieces of random sizes: single frames, odd sizes and pieces longer than a
// block; 16-bit and float pieces go in as bytes or as samples, some in
// place. Out holds the frames filtered before any error.
TOutcome RunStream(TFirStream& Stream, const TCase& C, std::mt19937& R) {
  const size_t FrameBytes = static_cast<size_t>(Stream.FrameBytes());
  Bytes In(static_cast<size_t>(std::max(C.NbEch, 0)) * FrameBytes, C.Bits == 8 ? 0x80 : 0x00);
  std::copy_n(C.Data.begin(), std::min(C.Data.size(), In.size()), In.begin());
  Bytes Out(In.size());
  TOutcome Got;
  try {
    for (size_t Done = 0; Done < In.size();) {
      const size_t Sizes[] = {1, 1 + 2 * (R() % 500), fast::kBlockFrames + 1 + R() % 20000};
      const size_t Size = std::min(Sizes[R() % 3] * FrameBytes, In.size() - Done);
      const std::span<uint8_t> Piece(Out.data() + Done, Size);
      std::span<const uint8_t> From(In.data() + Done, Size);
      if (R() % 2) {  // in place
        std::copy_n(In.begin() + Done, Size, Piece.begin());
        From = Piece;
      }
      if (C.Bits == 16 && R() % 2)
        Stream.Filter(std::span<const int16_t>(reinterpret_cast<const int16_t*>(From.data()), Size / 2),
                      std::span<int16_t>(reinterpret_cast<int16_t*>(Piece.data()), Size / 2));
      else if (C.Bits == 32 && R() % 2)
        Stream.Filter(std::span<const float>(reinterpret_cast<const float*>(From.data()), Size / 4),
                      std::span<float>(reinterpret_cast<float*>(Piece.data()), Size / 4));
      else
        Stream.Filter(From, Piece);
      Done += Size;
    }
  } catch (const EMathError& E) {
    Got.Error = std::string("EMathError: ") + E.what();
  }
  Got.Out.assign(Out.begin(), Out.begin() + static_cast<ptrdiff_t>(Stream.Frames() * FrameBytes));
  Got.Overflow = Stream.Overflow();
  return Got;
}

TEST(FirStream, GivesAFileRunsBytesWhateverTheSplitAndAfterAReset) {
  std::mt19937 R(12);
  for (int I = 0; I < 40; ++I) {
    const TCase C = RandomCase(R, fast::kBlockFrames);
    SCOPED_TRACE(testing::Message() << "case " << I << ": " << C.Channels << " x " << C.Bits << " bits, "
                                    << C.NbEch << " frames, " << C.Filter.NbTaps << " taps"
                                    << (C.Clip ? ", clipping" : ""));
    TOutcome Want = RunReference(C);
    Want.Progress.clear();
    Want.Overflow.Bits = C.Bits;
    Want.Overflow.Float = C.Bits == 32;
    const ff_bits Bits = C.Bits == 32 ? ff_32bitsFloat : NbBitsOf(SampleFormatOf(C.Bits == 16, C.Bits == 24, false));
    TFirStream Stream(C.Filter, C.Channels == 2 ? ff_stereo : ff_mono, Bits, C.Clip);
    EXPECT_EQ(RunStream(Stream, C, R), Want);
    Stream.Reset();
    EXPECT_EQ(RunStream(Stream, C, R), Want);
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

}  // namespace
}  // namespace kestrum
