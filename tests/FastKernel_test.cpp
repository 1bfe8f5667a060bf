// Tests the fast kernel against the reference, byte for byte, through real
// files (tests/KernelCases.h): random filters and lengths around block edges,
// on every instruction set and thread count, and the same failures at the
// same frame.
#include "kestrum/kernel/FastKernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"
#include "tests/KernelCases.h"

namespace kestrum {
namespace {

using namespace test;

// One test per instruction set, so that CTest runs them side by side.
class FastKernelOnTarget : public testing::TestWithParam<std::string> {};

TEST_P(FastKernelOnTarget, GivesTheReferenceBytesOnEveryThreadCount) {
  std::mt19937 R(2024);
  const int32_t Blocks[] = {1, 7, 64, 1000, 4096, fast::kBlockFrames};
  for (int I = 0; I < 108; ++I) {
    const int32_t Block = Blocks[I % 6];
    const TCase C = RandomCase(R, Block);
    SCOPED_TRACE(testing::Message() << "case " << I << ": " << C.Channels << " x " << C.Bits << " bits, "
                                    << C.NbEch << " frames, " << C.Filter.NbTaps << " taps, block " << Block
                                    << (C.Clip ? ", clipping" : "") << (C.Dither ? ", dithered" : ""));
    const TOutcome Want = RunReference(C);
    fast::ForceSimdTarget(GetParam());
    for (int Threads : {1, 2, 3}) {
      SCOPED_TRACE("threads " + std::to_string(Threads));
      EXPECT_EQ(RunFast(C, Threads, Block), Want);
    }
    fast::ForceSimdTarget("");
  }
}

TEST_P(FastKernelOnTarget, StopsWithinALongFiltersTileWhenAStopIsAsked) {
  // A tile of frames over a long filter is a quarter of a billion products:
  // the stop must end it long before.
  fast::TTaps Taps(std::vector<double>(size_t{1} << 20, 0.25), 32768.0);
  std::vector<double> Levels(size_t(Taps.MaxDelay) + 2 * fast::kTilePad, 1.0);
  std::vector<float> Acc(2 * fast::kTilePad);
  fast::ForceSimdTarget(GetParam());
  RequestStop(SIGINT);
  for (const bool Split : {true, false})
    for (const bool Portable : {false, true}) {
      SCOPED_TRACE(testing::Message() << (Split ? "split" : "float") << (Portable ? ", portable" : ""));
      Taps.Split = Split;
      const auto Sum = Portable ? fast::SumTapsPortable : fast::SumTaps;
      EXPECT_THROW(Sum(Levels.data() + Taps.MaxDelay, fast::kTilePad, Taps, Acc.data()), EStopped);
    }
  ClearStop();
  fast::ForceSimdTarget("");
}

INSTANTIATE_TEST_SUITE_P(EveryInstructionSet, FastKernelOnTarget, testing::ValuesIn(fast::SimdTargets()),
                         [](const testing::TestParamInfo<std::string>& Info) { return Info.param; });

TEST(FastKernel, FiltersALiveSourcePieceByPieceAsAFileRunDoes) {
  std::mt19937 R(22);
  for (int I = 0; I < 24; ++I) {
    const int32_t Block = std::array{7, 1000, fast::kBlockFrames}[I % 3];
    TCase C = RandomCase(R, Block);
    C.NbEch = static_cast<int32_t>(C.Data.size() / static_cast<size_t>(C.Format().FrameBytes()));
    SCOPED_TRACE(testing::Message() << "case " << I << ": " << C.Channels << " x " << C.Bits << " bits, "
                                    << C.NbEch << " frames, " << C.Filter.NbTaps << " taps, block " << Block);
    const TOutcome Want = RunReference(C);
    for (int Threads : {0, 1, 3}) {  // 0: the reference kernel
      SCOPED_TRACE("threads " + std::to_string(Threads));
      EXPECT_EQ(RunArriving(C, Threads, Block, static_cast<uint32_t>(I)), Want);
    }
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

}  // namespace
}  // namespace kestrum
