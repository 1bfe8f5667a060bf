// Designs FIR filters: windowed-sinc lowpass, highpass, bandpass and bandstop,
// and filters taken from an impulse response stored in a WAV file.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kestrum/filter/Filter.h"
#include "kestrum/filter/FirFile.h"

namespace kestrum {

enum class TBandKind { Lowpass, Highpass, Bandpass, Bandstop };
enum class TWindowKind { Rectangular, Hann, Hamming, Blackman, Kaiser };

// Longest delay a tap may have: the kernel keeps this many frames of history
// minus one, and takes delays modulo the history's size.
constexpr int32_t kMaxTapDelay = FIR_HISTORY_SIZE - 1;

// What a windowed-sinc design asks for. Edges are in Hz: one (Low) for a
// lowpass or highpass, two (Low < High) for a bandpass or bandstop. Either
// Taps and Window (Beta for Kaiser) are given, or Taps is 0 and Attenuation
// (stopband attenuation in dB) and Transition (the width in Hz of each
// transition band, centred on its edge) choose a Kaiser window and the tap
// count.
struct TDesignRequest {
  TBandKind Kind = TBandKind::Lowpass;
  double Rate = 0;
  double Low = 0, High = 0;
  int32_t Taps = 0;
  TWindowKind Window = TWindowKind::Blackman;
  double Beta = 0;
  double Attenuation = 0, Transition = 0;
};

// What a design gets when it asks for neither a tap count nor an
// attenuation.
constexpr double kDefaultAttenuation = 60;

// The transition width a design gets when it asks for none: a tenth of the
// lowest edge, widened so that Kaiser's estimate stays near 800 taps, yet
// never so wide that a transition band reaches 0 Hz or half the rate or the
// two bands meet: at most the lower edge, the room between the top edge and
// half the rate, and half the distance between two edges. Where that is
// still too narrow for FIR_MAX_TAPS taps, the design is a long filter.
double DefaultTransition(const TDesignRequest& Request);

// Request with its defaults filled in when it has no tap count: an
// Attenuation or Transition that is NaN (not given) becomes
// kDefaultAttenuation or DefaultTransition. The command line's inline form,
// kestrum design and the Python package share them through this.
TDesignRequest WithDefaults(TDesignRequest Request);

// Checks a request before any design: the edges lie strictly between 0 and
// half the rate, in order, and their transition bands (if any) do not
// overlap or reach 0 or half the rate; the tap count is from 1 to
// FIR_MAX_TAPS and odd for a highpass or bandstop (an even symmetric filter
// has no gain at half the rate); Beta is from 0 to 100; the attenuation is
// positive. Returns "" when the request is sound, else what is wrong, e.g.
// "the cutoff 30000 Hz is not below half the rate (22050 Hz)".
std::string CheckDesignRequest(const TDesignRequest& Request, int32_t MaxTaps = FIR_MAX_TAPS);

// The filter asked for: taps at delays 0 to N - 1, coefficients rounded to
// float, gain 1 in the passband's reference (DC for a lowpass and bandstop,
// half the rate for a highpass, the band's centre for a bandpass). The
// comment records the design, e.g. "Lowpass, windowed sinc, 101 taps, cutoff
// 1500 Hz at 44100 Hz, Blackman window". With an attenuation, a Kaiser
// window made for 1 dB more, and the first odd tap count from Kaiser's
// estimate whose response, as floats, meets it: passband within 1 +- d and
// stopband below d, d = 10^(-Attenuation / 20), on a fine grid. Throws
// EGeneralError with the message of CheckDesignRequest for an unsound
// request, and when the attenuation needs more than FIR_MAX_TAPS taps.
TFirFilter DesignFilter(const TDesignRequest& Request);

// The same design as coefficients in double, for a filter of up to MaxTaps
// taps (a long filter, run on the FFT engine or written as a WAV file): the
// tap count's limit and the refusal name MaxTaps instead of FIR_MAX_TAPS.
// Warnings holds DesignShortfalls of the result. Checking an attenuation
// costs an FFT of 16 points per tap for every tap count tried.
constexpr int32_t kMaxDesignTaps = 131071;
struct TDesignedTaps {
  std::vector<double> Taps;
  std::string Comment;
  std::vector<std::string> Warnings;
};
TDesignedTaps DesignTaps(const TDesignRequest& Request, int32_t MaxTaps);

// The coefficients of a design rounded to float at delays 0 to N - 1, as a
// filter; N must be at most FIR_MAX_TAPS.
TFirFilter ToFirFilter(const TDesignedTaps& Design);

// What a design's taps miss of its request, measured on the taps: the gain
// at the stopband's reference frequencies (0 Hz for a highpass, half the
// rate for a lowpass, both for a bandpass, the band's centre for a bandstop)
// when it is not below the asked attenuation, or, for a tap count, the
// attenuation its window nominally reaches (less 10 dB). Each line names
// the figures, e.g. "the gain at 0 Hz is -8.5 dB, not below -64 dB: 999
// taps of a Blackman window are too few for this edge at 96000 Hz (about
// 6601 would do)". Empty when the design meets its request.
std::vector<std::string> DesignShortfalls(const TDesignRequest& Request, const std::vector<double>& Taps);

// The rate a filter comment says the filter was made for: the number in its
// last "at N Hz", as DesignFilter writes it ("cutoff 1500 Hz at 44100 Hz")
// and as design from an impulse response does; 0 when there is none.
double DesignedRate(const std::string& Comment);

// The warning for a filter named FilterName whose Comment names another rate
// (DesignedRate) than a source's Frequency, as every host words it: "x.fir
// was made for 44100 Hz and the source is 48000 Hz: its frequencies move by a
// factor of 1.088 (a FILTER such as lowpass:3000 is designed at the source's
// rate)"; "" when the rates agree or one is unknown (0).
std::string RateWarning(const std::string& FilterName, const std::string& Comment, uint32_t Frequency);
// The same for a filter value: the rate it records (an impulse response's,
// a design's), else the one its comment names.
std::string RateWarning(const TFilter& Filter, uint32_t Frequency);

// "Filter: lowpass:3000, designed at 48000 Hz": a designed filter's line in
// a host's log, in place of a file's name.
std::string DesignLogLine(const TFilter& Designed);

// The Kaiser window's beta for a stopband attenuation in dB (Kaiser's
// formula).
double KaiserBeta(double Attenuation);

// A WAV file's samples on one channel, as fractions of full scale (a 16-bit
// sample of 16384 gives 0.5, an 8-bit byte of 192 gives 0.5): the first ones
// whole, as far as a tap's delay can reach, and those after them summed up,
// so that a long file takes little memory.
struct TImpulse {
  std::vector<double> Samples;
  double Rate = 0;
  int Channels = 0;
  // The samples after the first kMaxTapDelay + 1 (Append puts them here).
  int64_t LaterZeros = 0, LaterOthers = 0;  // how many are 0 and not 0
  double LaterPeak = 0;                     // the largest magnitude among them
  int64_t LaterPeakFrame = 0;               // the frame of its first occurrence

  // Adds the next frame's sample.
  void Append(double Sample);
  int64_t Frames() const { return static_cast<int64_t>(Samples.size()) + LaterZeros + LaterOthers; }
};

// Reads channel Channel (1 for the first) of a WAV file in blocks, with
// memory bounded whatever its length. Throws EInOutError for a file the WAV
// reader refuses, EGeneralError for a channel it lacks and for a sample that
// is not a finite number (naming its frame). Given the ThresholdDb that
// FilterFromImpulse will use, a PCM file is refused as soon as a sample
// beyond kMaxTapDelay reaches it whatever the peak (full scale at most), as
// FilterFromImpulse would refuse it, rather than after reading the rest.
TImpulse ReadImpulse(const std::string& FileName, int Channel, double ThresholdDb = -INFINITY);

// What became of an impulse response's samples.
struct TImpulseReport {
  int32_t Kept = 0;          // taps in the filter
  int32_t DroppedZero = 0;   // samples that were exactly 0
  int32_t Dropped = 0;       // other samples below the threshold
  double LargestDropped = 0; // the largest of these, as a fraction of the peak
};

// The filter of channel Channel (1 for the first) of the impulse response in
// FileName, as `kestrum design impulse` makes it: ReadImpulse, then
// FilterFromImpulse with a comment that names the file, its channel (of
// several), its rate and ThresholdDb. Frames: the file's frames. Errors name
// the file.
TFirFilter FilterFromImpulseFile(const std::string& FileName, int Channel, double ThresholdDb,
                                 TImpulseReport& Report, int64_t& Frames);

// A filter holding the samples of Impulse whose magnitude is at least the
// peak's times 10^(ThresholdDb / 20), each at its own delay. Comment is
// the filter's comment. Throws EGeneralError when no sample is left, when
// more than FIR_MAX_TAPS are (saying which threshold would fit), or when a
// kept sample lies beyond kMaxTapDelay.
TFirFilter FilterFromImpulse(const TImpulse& Impulse, double ThresholdDb,
                             const std::string& Comment, TImpulseReport& Report);

}  // namespace kestrum
