// Tests of the convolution: the arithmetic, delays, wrapping and the four
// sample formats, through whole runs of both kernels.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "kestrum/filter/FirFile.h"
#include "tests/KernelCases.h"
#include "tests/KestrumRun.h"

namespace kestrum {
namespace {

using test::Bytes;

const TEngine kKernels[] = {TEngine::Reference, TEngine::Fast};
const char* KernelName(TEngine K) { return EngineName(K).c_str(); }

// Filters Data (sample bytes in the given format) and returns the output's
// sample bytes, or the error message as text bytes prefixed with "error: ".
Bytes Filter(TEngine Kernel, int Channels, int Bits, const Bytes& Data, const std::string& Fir,
             bool Clip = false) {
  test::TKestrumRun Run;
  Run.Prepare(Channels, Bits, 8000, Data, Fir);
  Run.Kestrum.Engine = Kernel;
  Run.Kestrum.Clip = Clip;
  Run.Execute();
  if (!Run.Error.empty()) {
    const std::string Message = "error: " + Run.Error;
    return Bytes(Message.begin(), Message.end());
  }
  return Run.Output();
}

std::vector<int16_t> Ramp16(int Count) {
  std::vector<int16_t> S(Count);
  for (int I = 0; I < Count; ++I) S[I] = static_cast<int16_t>(I % 30000 + 1);
  return S;
}

TEST(Kernel, ComputesTheDefinedExamples) {
  struct Case {
    const char* What;
    int Channels, Bits;
    Bytes Input;
    std::string Fir;
    Bytes Expected;
  };
  const Bytes Mixed8 = {0, 1, 127, 128, 129, 200, 255};
  const Bytes Mixed16 = test::Words({0, 1, -1, 32767, -32768, 1234, -4321});
  const Bytes Mixed24 = test::Int24s({8388607, -8388608, -1, 0, 123456, -654321});
  const float Tiny = std::ldexp(1.0f, -149);  // the smallest subnormal float
  const Bytes MixedFloat = test::Floats({1.5f, -0.1f, Tiny, -3e38f, 1e-40f, 0.0f});
  const std::string Identity = "Identity\n1\n0 1.0\n";
  const Case Cases[] = {
      {"identity, 8-bit mono", 1, 8, Mixed8, Identity, Mixed8},
      {"identity, 8-bit stereo", 2, 8, Bytes(Mixed8.begin(), Mixed8.end() - 1), Identity,
       Bytes(Mixed8.begin(), Mixed8.end() - 1)},
      {"identity, 16-bit mono", 1, 16, Mixed16, Identity, Mixed16},
      {"identity, 16-bit stereo", 2, 16, Bytes(Mixed16.begin(), Mixed16.end() - 2), Identity,
       Bytes(Mixed16.begin(), Mixed16.end() - 2)},
      {"no taps: 8-bit silence", 1, 8, Mixed8, "None\n0\n", Bytes(Mixed8.size(), 128)},
      {"negative tap count: 16-bit silence", 1, 16, Mixed16, "None\n-3\n0 1.0\n",
       Bytes(Mixed16.size(), 0)},
      {"ties go to the even neighbour", 1, 16, test::Words({3, 5, -3}), "Half\n1\n0 0.5\n",
       test::Words({2, 2, -2})},
      {"16-bit wraps instead of clipping", 1, 16, test::Words({16384}), "Double\n1\n0 2.0\n",
       Bytes{0x00, 0x80}},
      {"8-bit wraps instead of clipping", 1, 8, {255}, "Double\n1\n0 2.0\n", {126}},
      {"two halves make the whole", 1, 16, Mixed16, "Halves\n2\n0 0.5\n0 0.5\n", Mixed16},
      {"the three-tap smoothing filter", 1, 16, test::Words({4, 8, 0}),
       "Smoothing, three taps\n3\n0 0.25\n1 0.5\n2 0.25\n", test::Words({1, 4, 5})},
      {"stereo channels never mix", 2, 16, test::Words({100, -7, 200, -9}),
       "Previous\n1\n1 1.0\n", test::Words({0, 0, 100, -7})},
      // The sum is rounded to double, then to single, after every tap:
      // 2^24 + 1 + 2^-30 becomes 2^24 + 1, then the tie 2^24 (a single
      // rounding would give 2^24 + 2, output 2).
      {"double then single rounding", 1, 16, test::Words({32513, 16384}),
       "Rounding\n2\n0 1024.0\n1 0.000030756928026676177978515625\n", test::Words({1024, 0})},
      {"identity, 24-bit stereo", 2, 24, Mixed24, Identity, Mixed24},
      {"24-bit wraps above the range", 1, 24, test::Int24s({4194304}), "Double\n1\n0 2.0\n",
       test::Int24s({-8388608})},
      {"24-bit wraps below the range", 1, 24, test::Int24s({-1, -8388608}), "Sum\n2\n0 1.0\n1 1.0\n",
       test::Int24s({-1, 8388607})},
      {"24-bit ties go to the even neighbour", 1, 24, test::Int24s({3, 5, -3, 8388607}), "Half\n1\n0 0.5\n",
       test::Int24s({2, 2, -2, 4194304})},
      {"identity, float stereo", 2, 32, MixedFloat, Identity, MixedFloat},
      {"float keeps the sum unrounded", 1, 32, test::Floats({3, 5, -3}), "Half\n1\n0 0.5\n",
       test::Floats({1.5f, 2.5f, -1.5f})},
      {"0 + -0 is +0", 1, 32, test::Floats({-0.0f}), Identity, test::Floats({0.0f})},
      {"a negative sum that underflows is -0", 1, 32, test::Floats({-Tiny}), "Quarter\n1\n0 0.25\n",
       test::Floats({-0.0f})},
      {"subnormal sums round to even", 1, 32, test::Floats({Tiny, 3 * Tiny}), "Half\n1\n0 0.5\n",
       test::Floats({0.0f, 2 * Tiny})},
      {"a NaN that no tap reaches fails no sum", 1, 32, test::Floats({1, 2, std::nanf("")}), "Previous\n1\n1 1.0\n",
       test::Floats({0, 1, 2})},
  };
  for (TEngine Kernel : kKernels) {
    for (const Case& C : Cases) {
      SCOPED_TRACE(std::string(KernelName(Kernel)) + ": " + C.What);
      EXPECT_EQ(Filter(Kernel, C.Channels, C.Bits, C.Input, C.Fir), C.Expected);
    }
  }
}

TEST(Kernel, TakesDelaysModuloTheHistoryLength) {
  const int Frames = 20000;
  const auto In = Ramp16(Frames);
  struct Case {
    const char* Delay;
    int Effective;  // frames back, modulo 16384
  };
  const Case Cases[] = {{"16384", 0}, {"16385", 1}, {"-1", 16383}, {"-2147483648", 0}, {"2147483647", 16383}};
  for (TEngine Kernel : kKernels) {
    for (const Case& C : Cases) {
      SCOPED_TRACE(std::string(KernelName(Kernel)) + ", delay " + C.Delay);
      std::vector<int16_t> Expected(Frames, 0);
      for (int N = C.Effective; N < Frames; ++N) Expected[N] = In[N - C.Effective];
      EXPECT_EQ(Filter(Kernel, 1, 16, test::Words(In), "Delay\n1\n" + std::string(C.Delay) + " 1.0\n"),
                test::Words(Expected));
    }
  }
}

TEST(Kernel, FailsOnSumsOutOfRange) {
  const float NaN = std::numeric_limits<float>::quiet_NaN();
  const struct {
    const char* What;
    int Bits;
    Bytes Data;  // frame 0 is silence, frame 1 fails
    std::string Fir;
    bool Clip;
    std::string Error;  // a part of the message
  } Cases[] = {
      {"a sum beyond single precision", 16, test::Words({0, 30000, 1}), "Big\n2\n0 3e38\n0 3e38\n", false,
       "error: arithmetic overflow at frame 1: the filtered sum"},
      {"a sum beyond single precision, clipping", 16, test::Words({0, 30000, 1}), "Big\n2\n0 3e38\n0 3e38\n", true,
       "error: arithmetic overflow at frame 1: the filtered sum inf is not a finite number"},
      {"a rounded sum beyond 32 bits", 16, test::Words({0, 30000, 1}), "Big\n1\n0 1e6\n", false,
       "error: arithmetic overflow at frame 1: the filtered sum 3e+10 does not fit"},
      {"a rounded 24-bit sum beyond 32 bits", 24, test::Int24s({0, 8388607, 1}), "Big\n1\n0 1e3\n", false,
       "error: arithmetic overflow at frame 1: the filtered sum 8388606976 does not fit"},
      {"a float sum beyond the float range", 32, test::Floats({0, -3e38f, 1}), "Double\n1\n0 2.0\n", false,
       "error: arithmetic overflow at frame 1: the filtered sum -inf is not a finite number"},
      {"a NaN sample, clipping", 32, test::Floats({0, NaN, 1}), "Nothing\n1\n0 0.0\n", true,
       "in.wav: frame 1 holds a sample that is not a finite number"},
  };
  for (TEngine Kernel : kKernels) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(std::string(KernelName(Kernel)) + ": " + C.What);
      const Bytes Out = Filter(Kernel, 1, C.Bits, C.Data, C.Fir, C.Clip);
      EXPECT_NE(std::string(Out.begin(), Out.end()).find(C.Error), std::string::npos) << std::string(Out.begin(), Out.end());
    }
  }
}

// A sum goes to another target format scaled in double: a float sum far
// beyond the float range once scaled is finite and saturates, and a tiny one
// keeps its exact power of two in a 64-bit float.
TEST(Kernel, ScalesSumsToAnotherFormatInDouble) {
  using S = TSampleFormat;
  const auto DoubleBytes = [](double V) {
    Bytes Out;
    for (int B = 0; B < 8; ++B) Out.push_back(static_cast<uint8_t>(std::bit_cast<uint64_t>(V) >> 8 * B));
    return Out;
  };
  const struct {
    const char* What;
    S Source, Target;
    Bytes Data;
    const char* Coef;
    bool Clip;
    Bytes Want;         // empty: the run fails
    std::string Error;  // a part of the message
  } Cases[] = {
      {"1e30 saturates a 32-bit target", S::Float32, S::Pcm32, test::Floats({1e30f, -1e30f}), "1.0", true,
       {0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80}, ""},
      {"1e30 saturates a 16-bit target", S::Float32, S::Pcm16, test::Floats({1e30f}), "1.0", true, test::Words({32767}),
       ""},
      {"1e30 does not fit 32 bits when wrapping", S::Float32, S::Pcm32, test::Floats({0.0f, 1e30f}), "1.0", false, {},
       "arithmetic overflow at frame 1: the filtered sum 2.1474836"},
      {"2^-149 is 2^-164 in a 64-bit float", S::Pcm16, S::Float64, test::Words({1}), "1.401298464324817e-45", false,
       DoubleBytes(std::ldexp(1.0, -164)), ""},
  };
  for (TEngine Kernel : kKernels) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(std::string(KernelName(Kernel)) + ": " + C.What);
      test::TKestrumRun Run;
      Run.Prepare(test::MakeWav({C.Source, 1, 8000}, C.Data), std::string("One tap\n1\n0 ") + C.Coef + "\n");
      Run.Kestrum.Engine = Kernel;
      Run.Kestrum.Clip = C.Clip;
      Run.Kestrum.TargetBits = 8 * BytesPerSample(C.Target);
      Run.Kestrum.TargetEncoding = IsFloat(C.Target) ? TEncoding::Float : TEncoding::Signed;
      Run.Execute();
      if (C.Want.empty()) {
        EXPECT_NE(Run.Error.find(C.Error), std::string::npos) << Run.Error;
        EXPECT_NE(Run.Error.find("does not fit a 32-bit integer"), std::string::npos) << Run.Error;
        continue;
      }
      EXPECT_EQ(Run.Error, "");
      EXPECT_EQ(Run.Output(), C.Want);
    }
  }
}

// Dither changes a run only where integer samples narrower than the
// source's are written; there the bytes follow the seed alone, the same on
// both kernels and any thread count, and elsewhere they are the plain run's,
// with a warning.
TEST(Kernel, DithersOnlyNarrowerIntegerTargetsTheSameOnEveryKernel) {
  using S = TSampleFormat;
  const struct {
    S Source, Target;
    bool Applies;
  } Cases[] = {
      {S::Pcm24, S::Pcm16, true},    {S::Float32, S::Pcm16, true},  {S::Pcm16, S::Pcm8, true},
      {S::Float64, S::Pcm32, true},  {S::Pcm32, S::Pcm24, true},    {S::Pcm16, S::Pcm16, false},
      {S::Pcm16, S::Pcm24, false},   {S::Pcm24, S::Float32, false}, {S::Float64, S::Float32, false},
  };
  constexpr int32_t kFrames = 40000;  // three of the fast kernel's blocks
  std::mt19937 R(31);
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::Message() << int(C.Source) << " to " << int(C.Target));
    const TAudioFormat Format{C.Source, 2, 8000};
    Bytes Data(static_cast<size_t>(kFrames) * static_cast<size_t>(Format.FrameBytes()));
    if (IsFloat(C.Source)) {
      std::vector<float> Values(static_cast<size_t>(2 * kFrames));
      for (float& V : Values) V = std::uniform_real_distribution<float>(-0.5f, 0.5f)(R);
      Data = test::Floats(Values);
      if (C.Source == S::Float64) {
        Data.clear();
        for (float V : Values)
          for (int B = 0; B < 8; ++B)
            Data.push_back(static_cast<uint8_t>(std::bit_cast<uint64_t>(static_cast<double>(V)) >> 8 * B));
      }
    } else {
      for (uint8_t& B : Data) B = static_cast<uint8_t>(R());
    }
    const auto Run = [&](TEngine Engine, std::optional<uint64_t> Seed, std::vector<std::string>* Events = nullptr) {
      test::TKestrumRun Run;
      Run.Prepare(test::MakeWav(Format, Data), "Smooth\n3\n0 0.3\n1 0.3\n2 0.3\n");
      Run.Kestrum.Engine = Engine;
      Run.Kestrum.Threads = 3;
      Run.Kestrum.Clip = true;
      Run.Kestrum.TargetBits = C.Target == C.Source ? 0 : 8 * BytesPerSample(C.Target);
      Run.Kestrum.TargetEncoding = IsFloat(C.Target)         ? TEncoding::Float
                                   : C.Target == S::Pcm8 ? TEncoding::Unsigned
                                                         : TEncoding::Signed;
      Run.Kestrum.Dither = Seed.has_value();
      Run.Kestrum.DitherSeed = Seed.value_or(0);
      Run.Execute();
      EXPECT_EQ(Run.Error, "");
      if (Events) *Events = Run.Events;
      return Run.Output();
    };
    const Bytes Plain = Run(TEngine::Reference, std::nullopt);
    std::vector<std::string> Events;
    const Bytes Dithered = Run(TEngine::Reference, 0, &Events);
    const bool Warned = std::any_of(Events.begin(), Events.end(), [](const std::string& E) {
      return E.starts_with("Warning dither applies only to integer samples narrower") &&
             E.ends_with(": nothing is dithered");
    });
    EXPECT_EQ(Warned, !C.Applies);
    EXPECT_EQ(Dithered != Plain, C.Applies);
    EXPECT_EQ(Run(TEngine::Reference, 1) != Dithered, C.Applies);
    EXPECT_EQ(Run(TEngine::Fast, 0), Dithered);
  }
}

// Dithered, the rounding error of a ramp's every fraction of a target level
// has a mean of 0 and a variance of 1/4 (1/6 from the triangular noise, 1/12
// from rounding): it no longer depends on the signal. It stays within 1.5
// levels: noise within -1 to 1, then the rounding.
TEST(Kernel, DitherLeavesAnErrorIndependentOfTheSignal) {
  constexpr int kFractions = 256;  // 24-bit levels per 16-bit level
  constexpr int kPerFraction = 400;
  constexpr int32_t kFrames = kFractions * kPerFraction;
  std::vector<int32_t> Ramp(kFrames);
  for (int32_t I = 0; I < kFrames; ++I) Ramp[size_t(I)] = I - kFrames / 2;
  test::TCase C;
  C.Bits = 24;
  C.Data = test::Int24s(Ramp);
  C.NbEch = kFrames;
  test::AddTap(C.Filter, 0, 1.0f);
  C.Target = TSampleFormat::Pcm16;
  C.Dither = 5;
  const Bytes Out = test::RunReference(C).Out;
  ASSERT_EQ(Out.size(), 2u * kFrames);
  double Sum[kFractions] = {}, Squares[kFractions] = {}, Worst = 0;
  for (int32_t I = 0; I < kFrames; ++I) {
    const int16_t Got = static_cast<int16_t>(Out[2 * size_t(I)] | Out[2 * size_t(I) + 1] << 8);
    const double Error = Got - Ramp[size_t(I)] / 256.0;
    Sum[Ramp[size_t(I)] & 255] += Error;
    Squares[Ramp[size_t(I)] & 255] += Error * Error;
    Worst = std::max(Worst, std::fabs(Error));
  }
  EXPECT_LT(Worst, 1.5);
  for (int K = 0; K < kFractions; ++K) {
    SCOPED_TRACE(testing::Message() << "fraction " << K << "/256");
    const double Mean = Sum[K] / kPerFraction;
    EXPECT_NEAR(Mean, 0.0, 0.1);
    EXPECT_NEAR(Squares[K] / kPerFraction - Mean * Mean, 0.25, 0.08);
  }
}

TEST(Kernel, CountsSumsBeyondTheSampleWidthAndWrapsOrClipsThem) {
  constexpr double kFails = -1e300;  // the run fails: only clipping stores the sum
  const struct {
    const char* What;
    int Bits;  // 32: float
    double Level;
    const char* Coef;
    double Wrapped, Clipped;  // the output sample: the byte for 8 bits; float: kept or clamped
    bool Beyond;
    float Peak;
  } Cases[] = {
      {"127 fits", 8, 127, "1.0", 255, 255, false, 127},
      {"128 wraps", 8, 64, "2.0", 0, 255, true, 128},
      {"-128 fits", 8, -64, "2.0", 0, 0, false, 128},
      {"-129 wraps", 8, -86, "1.5", 255, 0, true, 129},
      {"127.5 ties to 128", 8, 85, "1.5", 0, 255, true, 128},
      {"-127.5 ties to -128", 8, -85, "1.5", 0, 0, false, 128},
      {"8-bit, beyond 32 bits", 8, 100, "1e9", kFails, 255, true, 1e11f},
      {"32767 fits", 16, 32767, "1.0", 32767, 32767, false, 32767},
      {"32768 wraps", 16, 16384, "2.0", -32768, 32767, true, 32768},
      {"-32769 wraps", 16, -21846, "1.5", 32767, -32768, true, 32769},
      {"32767.5 ties to 32768", 16, 21845, "1.5", -32768, 32767, true, 32768},
      {"-32767.5 ties to -32768", 16, -21845, "1.5", -32768, -32768, false, 32768},
      {"16-bit, beyond 32 bits", 16, -30000, "1e6", kFails, -32768, true, 3e10f},
      {"8388607 fits", 24, 8388607, "1.0", 8388607, 8388607, false, 8388607},
      {"8388608 wraps", 24, 4194304, "2.0", -8388608, 8388607, true, 8388608},
      {"-8388609 wraps", 24, -5592406, "1.5", 8388607, -8388608, true, 8388609},
      {"24-bit, beyond 32 bits", 24, 8388607, "1e3", kFails, 8388607, true, 8388606976.0f},
      {"-1.0 fits", 32, -0.5, "2.0", -1.0, -1.0, false, 1.0f},
      {"1.5 is kept, or clamped", 32, 0.75, "2.0", 1.5, 1.0, true, 1.5f},
      {"-3e38 is kept, or clamped", 32, -1.5e38, "2.0", -3e38, -1.0, true, 3e38f},
  };
  for (const auto& C : Cases) {
    for (int Channels : {1, 2}) {
      for (bool Clip : {false, true}) {
        for (TEngine Kernel : kKernels) {
          SCOPED_TRACE(testing::Message() << C.What << ", " << Channels << " channels, "
                                          << (Clip ? "clipping, " : "wrapping, ") << KernelName(Kernel));
          const auto Frame = [&](double V) {
            switch (C.Bits) {
              case 8: return Bytes(Channels, static_cast<uint8_t>(V));
              case 16: return test::Words(std::vector<int16_t>(Channels, static_cast<int16_t>(V)));
              case 24: return test::Int24s(std::vector<int32_t>(Channels, static_cast<int32_t>(V)));
            }
            return test::Floats(std::vector<float>(Channels, static_cast<float>(V)));
          };
          test::TKestrumRun Run;
          Run.Prepare(Channels, C.Bits, 8000, Frame(C.Bits == 8 ? C.Level + 128 : C.Level),
                      std::string("One tap\n1\n0 ") + C.Coef + "\n");
          Run.Kestrum.Engine = Kernel;
          Run.Kestrum.Clip = Clip;
          Run.Execute();
          const double Want = Clip ? C.Clipped : C.Wrapped;
          if (Want == kFails) {
            EXPECT_EQ(Run.Error.rfind("arithmetic overflow at frame 0:", 0), 0u) << Run.Error;
            EXPECT_EQ(Run.Kestrum.Overflow.Samples, 0);
            continue;
          }
          EXPECT_EQ(Run.Error, "");
          EXPECT_EQ(Run.Output(), Frame(Want));
          EXPECT_EQ(Run.Kestrum.Overflow.Bits, C.Bits);
          EXPECT_EQ(Run.Kestrum.Overflow.Samples, Channels);
          EXPECT_EQ(Run.Kestrum.Overflow.Overflowed, C.Beyond ? Channels : 0);
          EXPECT_EQ(Run.Kestrum.Overflow.Peak, C.Peak);
        }
      }
    }
  }
}

// An independent computation of the filter: linear arrays of levels instead
// of rings, delays reduced to 0..16383 frames back; the float sums.
std::vector<float> Expected(const std::vector<double>& Levels, int Channels, const TFirFilter& F) {
  const int Frames = static_cast<int>(Levels.size()) / Channels;
  std::vector<float> Out(Levels.size());
  for (int C = 0; C < Channels; ++C) {
    for (int N = 0; N < Frames; ++N) {
      float Acc = 0;
      for (int I = 0; I < F.NbTaps; ++I) {
        const int Back = static_cast<int>(static_cast<uint32_t>(F.Delays[I]) % 16384u);
        const double X = N >= Back ? Levels[(N - Back) * Channels + C] : 0;
        Acc = static_cast<float>(Acc + X * F.Coefs[I]);
      }
      Out[N * Channels + C] = Acc;
    }
  }
  return Out;
}

// The level of a sample, file bytes, as the definition says.
double LevelOf(const uint8_t* P, TSampleFormat Format) {
  const uint32_t Low = P[0] | P[1 % BytesPerSample(Format)] << 8 | uint32_t{P[2 % BytesPerSample(Format)]} << 16 |
                       uint32_t{P[3 % BytesPerSample(Format)]} << 24;
  switch (Format) {
    case TSampleFormat::Pcm8: return P[0] - 128;
    case TSampleFormat::Pcm16: return static_cast<int16_t>(Low);
    case TSampleFormat::Pcm24: return static_cast<int32_t>(Low << 8) >> 8;
    case TSampleFormat::Pcm32: return static_cast<int32_t>(Low);
    case TSampleFormat::Float32: return std::bit_cast<float>(Low);
    case TSampleFormat::Float64: break;
  }
  uint64_t Bits = 0;
  for (int B = 7; B >= 0; --B) Bits = Bits << 8 | P[B];
  return std::bit_cast<double>(Bits);
}

// A sum stored as a sample of Format: scaled from Source's levels, then a
// float as it is, or an integer rounded to the nearest (ties to even) and
// saturated or cut to its low bits.
Bytes StoredSample(float Acc, TSampleFormat Source, TSampleFormat Format, bool Clip) {
  const int Bits = 8 * BytesPerSample(Format);
  Acc = static_cast<float>(std::ldexp(static_cast<double>(Acc), FullScaleExponent(Format) - FullScaleExponent(Source)));
  uint64_t Value;
  if (IsFloat(Format)) {
    const float V = Clip ? std::clamp(Acc, -1.0f, 1.0f) : Acc;
    Value = Bits == 32 ? std::bit_cast<uint32_t>(V) : std::bit_cast<uint64_t>(static_cast<double>(V));
  } else {
    int64_t V = std::llrint(Acc);
    if (Clip) V = std::clamp<int64_t>(V, -(int64_t{1} << (Bits - 1)), (int64_t{1} << (Bits - 1)) - 1);
    Value = static_cast<uint64_t>(V + (Bits == 8 ? 128 : 0));
  }
  Bytes Sample;
  for (int B = 0; B < Bits / 8; ++B) Sample.push_back(static_cast<uint8_t>(Value >> 8 * B));
  return Sample;
}

TEST(Kernel, FiltersEveryChannelOfEveryFormatIntoEveryFormat) {
  // A file longer than the history, random samples and taps; every format
  // with 1 to 8 channels into its own, and with 3 channels into every other,
  // saturating or not, through both kernels and several threads.
  const std::string Fir = "Random\n24\n" + [] {
    std::mt19937 Random(7);
    std::string Taps;
    for (int I = 0; I < 24; ++I)
      Taps += std::to_string(static_cast<int32_t>(Random()) % 40000) + " " +
              std::to_string(std::uniform_real_distribution<float>(-0.3f, 0.3f)(Random)) + "\n";
    return Taps;
  }();
  TFirFilter F;
  auto Reader = TFirFileReader::FromText(Fir, "random.fir");
  Reader.ReadHead(F);
  Reader.ReadTaps(F);
  using S = TSampleFormat;
  const S Formats[] = {S::Pcm8, S::Pcm16, S::Pcm24, S::Pcm32, S::Float32, S::Float64};
  struct Case {
    int Channels;
    S Source, Target;
    bool Clip;
  };
  std::vector<Case> Cases;
  for (S Source : Formats) {
    for (int Channels : {1, 2, 3, 6, 8}) Cases.push_back({Channels, Source, Source, false});
    for (S Target : Formats)
      for (bool Clip : {false, true})
        // (Wrapping 32-bit targets fails the run on the louder sums of
        // narrower sources, as FailsOnSumsOutOfRange shows.)
        if ((Target != Source || Clip) && (Clip || Target != S::Pcm32 || Source == S::Pcm32))
          Cases.push_back({3, Source, Target, Clip});
  }
  const int Frames = 17000;
  for (const Case& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.Channels << " channels, " << int(C.Source) << " to " << int(C.Target)
                                    << (C.Clip ? ", clip" : ""));
    std::mt19937 Random(C.Channels * 100 + int(C.Source));
    const int SampleBytes = BytesPerSample(C.Source);
    Bytes Data(static_cast<size_t>(Frames * C.Channels * SampleBytes));
    std::vector<double> Levels(static_cast<size_t>(Frames * C.Channels));
    for (size_t I = 0; I < Levels.size(); ++I) {
      uint8_t* const P = &Data[I * static_cast<size_t>(SampleBytes)];
      for (int B = 0; B < SampleBytes; ++B) P[B] = static_cast<uint8_t>(Random());
      if (IsFloat(C.Source)) {  // values of -1 to 1, a double with bits below a float's
        const double V = std::ldexp(static_cast<double>(static_cast<int32_t>(Random())), -31) * (1 + 0x1p-40);
        const uint64_t Bits = C.Source == S::Float32 ? std::bit_cast<uint32_t>(static_cast<float>(V))
                                                     : std::bit_cast<uint64_t>(V);
        for (int B = 0; B < SampleBytes; ++B) P[B] = static_cast<uint8_t>(Bits >> 8 * B);
      }
      if (C.Source == S::Pcm32) P[3] = static_cast<uint8_t>(static_cast<int8_t>(P[3]) >> 4);  // sums within 32 bits
      Levels[I] = LevelOf(P, C.Source);
    }
    Bytes Want;
    for (float Acc : Expected(Levels, C.Channels, F)) {
      const Bytes Sample = StoredSample(Acc, C.Source, C.Target, C.Clip);
      Want.insert(Want.end(), Sample.begin(), Sample.end());
    }
    for (const auto& [Kernel, Threads] : {std::pair{TEngine::Reference, 1}, std::pair{TEngine::Fast, 1},
                                         std::pair{TEngine::Fast, 3}}) {
      SCOPED_TRACE(testing::Message() << KernelName(Kernel) << ", " << Threads << " threads");
      test::TKestrumRun Run;
      Run.Prepare(test::MakeWav({C.Source, C.Channels, 8000}, Data), Fir);
      Run.Kestrum.Engine = Kernel;
      Run.Kestrum.Threads = Threads;
      Run.Kestrum.Clip = C.Clip;
      Run.Kestrum.TargetBits = 8 * BytesPerSample(C.Target);
      Run.Kestrum.TargetEncoding = IsFloat(C.Target) ? TEncoding::Float
                                   : C.Target == S::Pcm8 ? TEncoding::Unsigned
                                                         : TEncoding::Signed;
      Run.Execute();
      ASSERT_EQ(Run.Error, "");
      EXPECT_TRUE(Run.Output() == Want);
    }
  }
}

}  // namespace
}  // namespace kestrum
