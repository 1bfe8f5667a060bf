// The frequency response of a filter as the kernel applies it: a summary,
// a table of magnitude, phase and group delay, and a plot.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrum/filter/FirFile.h"

namespace kestrum {

// A filter's taps as the kernel uses them: the coefficients as floats, the
// delays taken modulo the kernel's history (FIR_HISTORY_SIZE frames).
class TResponse {
public:
  TResponse(const TFirFilter& Filter, double Rate);
  // A long filter's channel: Taps[i] at delay i, in double, as the FFT
  // engine applies it.
  TResponse(const std::vector<double>& Taps, double Rate);

  double Rate() const { return FRate; }
  int32_t Taps() const { return static_cast<int32_t>(FDelays.size()); }
  bool Empty() const { return FDelays.empty(); }
  int32_t MinDelay() const { return FMinDelay; }
  int32_t MaxDelay() const { return FMaxDelay; }
  // Whether some tap's delay as written is not the delay the kernel uses.
  bool Wrapped() const { return FWrapped; }
  // The sum of the coefficients' magnitudes: no output sample can exceed the
  // largest input magnitude times this.
  double WorstCaseGain() const { return FWorstCase; }

  // The transfer function at Frequency Hz.
  std::complex<double> At(double Frequency) const;
  // The group delay in frames at Frequency Hz, or NaN where the gain is
  // negligible (below 1e-6 of the worst-case gain), which leaves it undefined.
  double GroupDelay(double Frequency) const;

  // Magnitudes at Count + 1 equally spaced frequencies from 0 to half the
  // rate, Count a power of two, by one FFT.
  std::vector<double> Grid(int32_t Count) const;

  // The transfer function and the group delay (as GroupDelay) at the same
  // frequencies as Grid.
  struct TBin {
    std::complex<double> H;
    double Delay;
  };
  std::vector<TBin> Bins(int32_t Count) const;

private:
  void Bounds();  // MinDelay and MaxDelay from the delays
  // Count + 1 bins of the FFT of the taps, each coefficient times its delay
  // when ByDelay.
  std::vector<std::complex<double>> Spectrum(int32_t Count, bool ByDelay) const;
  // The group delay from the sums of the terms and of the terms times their delays.
  double DelayOf(std::complex<double> Sum, std::complex<double> Weighted) const;

  double FRate;
  std::vector<int32_t> FDelays;
  std::vector<double> FCoefs;
  int32_t FMinDelay = 0, FMaxDelay = 0;
  bool FWrapped = false;
  double FWorstCase = 0;
};

// Gain in dB, floored at kFloorDb for a gain of 0.
constexpr double kFloorDb = -300;
double GainDb(double Gain);

// Frequencies where the magnitude crosses a level, listing at most
// kMaxCrossings of them.
constexpr int kMaxCrossings = 8;
struct TCrossings {
  std::vector<double> Frequencies;  // in Hz, ascending, at most kMaxCrossings
  int32_t Count = 0;                // all crossings found
};

struct TResponseSummary {
  int32_t Taps = 0;
  int32_t MinDelay = 0, MaxDelay = 0;
  bool Wrapped = false;
  double GainDc = 0, GainNyquist = 0;  // magnitudes
  double PeakGain = 0;                 // the largest magnitude found
  TCrossings Minus3, Minus60;          // 3 and 60 dB below the peak gain
  double GroupDelayDc = 0;             // frames; NaN when the gain at DC is negligible
  double WorstCaseGain = 0;
};

// Summarises the response: the crossings are found on a grid fine enough
// for the longest delay, then refined to within a millihertz.
TResponseSummary Summarize(const TResponse& Response);

// The summary as lines for a person, e.g. "Taps: 3\nDelays: 0 to 2 frames\n...".
std::string FormatSummary(const TResponseSummary& Summary, double Rate);

// CSV with a header line and Points rows (at least 2) from 0 Hz to half the
// rate: frequency in Hz, magnitude in dB (floored at kFloorDb), phase in
// degrees (-180 to 180) and group delay in frames (empty where undefined).
std::string ResponseCsv(const TResponse& Response, int32_t Points);

// An SVG image: magnitude in dB above group delay in frames, over a
// logarithmic frequency axis up to half the rate; Title goes on top. It
// samples Points log-spaced frequencies (at least 2), and besides, wherever
// they are sparser than that, equally spaced ones 8 to each cycle of the
// ripple that the longest delay makes; each pixel column is drawn with its
// extremes, so that a ripple denser than the pixels shows as a band. The
// axes are ticked at round values.
constexpr int32_t kPlotPoints = 700;
std::string ResponseSvg(const TResponse& Response, const std::string& Title,
                        int32_t Points = kPlotPoints);

}  // namespace kestrum
