// Tests of the convolution: the arithmetic, delays, wrapping and the four
// sample formats, through whole runs of both kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "filter/FirFile.h"
#include "tests/KestrumRun.h"

namespace kestrum {
namespace {

using test::Bytes;

const TKernelKind kKernels[] = {TKernelKind::Reference, TKernelKind::Fast};
const char* KernelName(TKernelKind K) { return K == TKernelKind::Reference ? "reference" : "fast"; }

// Filters Data (sample bytes in the given format) and returns the output's
// sample bytes, or the error message as text bytes prefixed with "error: ".
Bytes Filter(TKernelKind Kernel, int Channels, int Bits, const Bytes& Data, const std::string& Fir,
             bool Clip = false) {
  test::TKestrumRun Run;
  Run.Prepare(Channels, Bits, 8000, Data, Fir);
  Run.Kestrum.Kernel = Kernel;
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
  };
  for (TKernelKind Kernel : kKernels) {
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
  for (TKernelKind Kernel : kKernels) {
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
  const struct {
    const char* What;
    std::string Fir;
    bool Clip;
    const char* Error;
  } Cases[] = {
      {"a sum beyond single precision", "Big\n2\n0 3e38\n0 3e38\n", false, "error: arithmetic overflow at frame 1:"},
      {"a rounded sum beyond 32 bits", "Big\n1\n0 1e6\n", false, "error: arithmetic overflow at frame 1:"},
      {"a sum beyond single precision, clipping", "Big\n2\n0 3e38\n0 3e38\n", true,
       "error: arithmetic overflow at frame 1:"},
  };
  for (TKernelKind Kernel : kKernels) {
    for (const auto& C : Cases) {
      SCOPED_TRACE(std::string(KernelName(Kernel)) + ": " + C.What);
      // Frame 0 is silence, frame 1 overflows.
      const Bytes Out = Filter(Kernel, 1, 16, test::Words({0, 30000, 1}), C.Fir, C.Clip);
      EXPECT_EQ(std::string(Out.begin(), Out.begin() + std::min<size_t>(Out.size(), 38)), C.Error);
    }
  }
}

TEST(Kernel, CountsSumsBeyondTheSampleWidthAndWrapsOrClipsThem) {
  constexpr int kFails = INT32_MIN;  // the run fails: only clipping stores the sum
  const struct {
    const char* What;
    int Bits;
    int16_t Level;
    const char* Coef;
    int Wrapped, Clipped;  // the output sample: the byte for 8 bits
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
  };
  for (const auto& C : Cases) {
    for (int Channels : {1, 2}) {
      for (bool Clip : {false, true}) {
        for (TKernelKind Kernel : kKernels) {
          SCOPED_TRACE(testing::Message() << C.What << ", " << Channels << " channels, "
                                          << (Clip ? "clipping, " : "wrapping, ") << KernelName(Kernel));
          const auto Frame = [&](int V) {
            return C.Bits == 8 ? Bytes(Channels, static_cast<uint8_t>(V))
                               : test::Words(std::vector<int16_t>(Channels, static_cast<int16_t>(V)));
          };
          test::TKestrumRun Run;
          Run.Prepare(Channels, C.Bits, 8000, Frame(C.Bits == 8 ? C.Level + 128 : C.Level),
                      std::string("One tap\n1\n0 ") + C.Coef + "\n");
          Run.Kestrum.Kernel = Kernel;
          Run.Kestrum.Clip = Clip;
          Run.Execute();
          const int Want = Clip ? C.Clipped : C.Wrapped;
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
// of rings, delays reduced to 0..16383 frames back.
std::vector<int32_t> Expected(const std::vector<int32_t>& Levels, int Channels, const TFirFilter& F) {
  const int Frames = static_cast<int>(Levels.size()) / Channels;
  std::vector<int32_t> Out(Levels.size());
  for (int C = 0; C < Channels; ++C) {
    for (int N = 0; N < Frames; ++N) {
      float Acc = 0;
      for (int I = 0; I < F.NbTaps; ++I) {
        const int Back = static_cast<int>(static_cast<uint32_t>(F.Delays[I]) % 16384u);
        const double X = N >= Back ? Levels[(N - Back) * Channels + C] : 0;
        Acc = static_cast<float>(Acc + X * F.Coefs[I]);
      }
      Out[N * Channels + C] = static_cast<int32_t>(std::lrint(Acc));
    }
  }
  return Out;
}

TEST(Kernel, FiltersRealFilesInEveryFormat) {
  // A file longer than the history, random samples and taps, in each format.
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
  for (int Channels : {1, 2}) {
    for (int Bits : {8, 16}) {
      SCOPED_TRACE(testing::Message() << Channels << " channels, " << Bits << " bits");
      std::mt19937 Random(Channels * 100 + Bits);
      const int Frames = 17000;
      std::vector<int32_t> Levels(Frames * Channels);
      Bytes Data;
      for (int32_t& L : Levels) {
        L = Bits == 16 ? static_cast<int16_t>(Random()) : static_cast<int>(Random() % 256) - 128;
        if (Bits == 16) {
          const auto W = test::Words({static_cast<int16_t>(L)});
          Data.insert(Data.end(), W.begin(), W.end());
        } else {
          Data.push_back(static_cast<uint8_t>(L + 128));
        }
      }
      Bytes Want;
      for (int32_t V : Expected(Levels, Channels, F)) {
        if (Bits == 8) {
          Want.push_back(static_cast<uint8_t>(V + 128));
        } else {
          Want.push_back(static_cast<uint8_t>(V));
          Want.push_back(static_cast<uint8_t>(V >> 8));
        }
      }
      for (TKernelKind Kernel : kKernels) {
        SCOPED_TRACE(KernelName(Kernel));
        EXPECT_EQ(Filter(Kernel, Channels, Bits, Data, Fir), Want);
      }
    }
  }
}

}  // namespace
}  // namespace kestrum
