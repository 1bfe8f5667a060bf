// Tests of the response summary on filters worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>
#include <numbers>

#include "kestrum/design/Response.h"

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

TEST(ResponseSvg, DrawsADenseRippleWholeAndTicksTheDelayAtRoundValues) {
  // An echo 15000 frames late at half the level: 0.5 to 1.5 (-6 to +3.5 dB)
  // every 2.94 Hz, hundreds of cycles per pixel in the top decade.
  const TResponse Comb(Taps({{0, 1}, {15000, 0.5f}}), 44100);
  const std::string Svg = ResponseSvg(Comb, "comb");

  // The magnitude is the first curve; its panel spans 120 dB over 300 px from
  // +10 dB at y = 70. Each pixel column of the top decade holds the whole ripple.
  const size_t Begin = Svg.find("points=\"") + 8;
  std::istringstream Points(Svg.substr(Begin, Svg.find('"', Begin) - Begin));
  std::map<int, std::pair<double, double>> Columns;  // x -> lowest and highest y
  for (double X, Y; Points >> X && Points.ignore(1) && Points >> Y;) {
    auto [It, New] = Columns.try_emplace(int(X), Y, Y);
    It->second = {std::min(It->second.first, Y), std::max(It->second.second, Y)};
  }
  const auto Y = [](double Db) { return 70 + 300 * (10 - Db) / 120; };
  int Top = 0, Whole = 0;
  for (const auto& [X, Span] : Columns) {
    if (X < 700) continue;
    ++Top;
    Whole += Span.first < Y(3.0) && Span.second > Y(-5.5);
  }
  EXPECT_GT(Top, 80);
  EXPECT_GE(Whole, Top * 9 / 10);

  // Axis labels: the dB ones, then the delay ones, each rising by one round step.
  std::vector<double> Labels;
  for (size_t At = 0; (At = Svg.find("text-anchor=\"end\">", At)) != std::string::npos; ++At)
    Labels.push_back(std::stod(Svg.substr(At + 18)));
  const auto Drop = std::adjacent_find(Labels.begin(), Labels.end(), std::greater<>());
  ASSERT_NE(Drop, Labels.end());
  const std::vector<double> Delays(Drop + 1, Labels.end());
  ASSERT_GE(Delays.size(), 3u);
  const double Step = Delays[1] - Delays[0];
  const double Mantissa = Step / std::pow(10, std::floor(std::log10(Step)));
  EXPECT_TRUE(Mantissa == 1 || Mantissa == 2 || Mantissa == 5) << Step;
  for (size_t I = 0; I < Delays.size(); ++I) EXPECT_EQ(Delays[I], Delays[0] + Step * double(I));
  EXPECT_EQ(std::fmod(Delays[0], Step), 0);
}

}  // namespace
}  // namespace kestrum
