// Tests of the response summary on filters worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "design/Response.h"

namespace kestrum {
namespace {

TFirFilter Taps(std::initializer_list<std::pair<int32_t, float>> List) {
  TFirFilter F;
  for (const auto& [Delay, Coef] : List) {
    F.Delays[F.NbTaps] = Delay;
    F.Coefs[F.NbTaps++] = Coef;
  }
  return F;
}

TEST(Summarize, MatchesHandCheckedFilters) {
  struct TCase {
    const char* Name;
    TFirFilter Filter;
    int32_t MinDelay, MaxDelay;
    bool Wrapped;
    double GainDc, GainNyquist, GroupDelayDc, WorstCase;
    std::vector<double> Minus3, Minus60;  // Hz at 44100 Hz
    bool Comb = false;                    // crossings too many to list here
  };
  // Smoothing: |H| = cos^2(pi f / rate), 3 dB down where cos^2 = 10^(-3/20),
  // 60 dB down where cos^2 = 1/1000.
  const double Smooth3 = std::acos(std::pow(10, -3.0 / 40)) / std::numbers::pi * 44100;
  const double Smooth60 = std::acos(std::sqrt(1e-3)) / std::numbers::pi * 44100;
  const TCase Cases[] = {
      {"identity", Taps({{0, 1}}), 0, 0, false, 1, 1, 0, 1, {}, {}},
      {"smoother", Taps({{0, 0.25f}, {1, 0.5f}, {2, 0.25f}}), 0, 2, false, 1, 0, 1, 1,
       {Smooth3}, {Smooth60}},
      {"pure delay", Taps({{10, 1}}), 10, 10, false, 1, 1, 10, 1, {}, {}},
      {"delay past the history", Taps({{16387, -1}}), 3, 3, true, 1, 1, 3, 1, {}, {}},
      // Nyquist: 0.6 - 0.3 + 0.15 (odd and even delays); group delay
      // (0.3 * 11025 + 0.15 * 15000) / 1.05.
      {"echo", Taps({{0, 0.6f}, {11025, 0.3f}, {15000, 0.15f}}), 0, 15000, false, 1.05, 0.45,
       5557.5 / 1.05, 1.05, {}, {}, true},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TResponseSummary S = Summarize(TResponse(C.Filter, 44100));
    EXPECT_EQ(S.Taps, C.Filter.NbTaps);
    EXPECT_EQ(S.MinDelay, C.MinDelay);
    EXPECT_EQ(S.MaxDelay, C.MaxDelay);
    EXPECT_EQ(S.Wrapped, C.Wrapped);
    EXPECT_NEAR(S.GainDc, C.GainDc, 1e-6);
    EXPECT_NEAR(S.GainNyquist, C.GainNyquist, 1e-6);
    EXPECT_NEAR(S.GroupDelayDc, C.GroupDelayDc, 1e-3);
    EXPECT_NEAR(S.WorstCaseGain, C.WorstCase, 1e-6);
    if (C.Comb) continue;  // see the next test
    ASSERT_EQ(S.Minus3.Frequencies.size(), C.Minus3.size());
    for (size_t I = 0; I < C.Minus3.size(); ++I) EXPECT_NEAR(S.Minus3.Frequencies[I], C.Minus3[I], 0.01);
    ASSERT_EQ(S.Minus60.Frequencies.size(), C.Minus60.size());
    for (size_t I = 0; I < C.Minus60.size(); ++I) EXPECT_NEAR(S.Minus60.Frequencies[I], C.Minus60[I], 0.01);
  }
}

// A comb crosses -3 dB of its peak twice per ripple: a few crossings are
// listed, all are counted.
TEST(Summarize, CountsCrossingsBeyondThoseItLists) {
  const TResponseSummary S = Summarize(TResponse(Taps({{0, 1}, {100, 0.9f}}), 44100));
  EXPECT_EQ(S.Minus3.Frequencies.size(), size_t(kMaxCrossings));
  EXPECT_EQ(S.Minus3.Count, 100);  // two per period of 441 Hz, 50 periods up to 22050 Hz
  EXPECT_NEAR(S.PeakGain, 1.9, 1e-6);
}

}  // namespace
}  // namespace kestrum
