// Windowed-sinc designs, the Kaiser window's estimates, and filters made from
// impulse responses.
#include "kestrum/design/Design.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <numbers>
#include <regex>

#include "kestrum/base/Errors.h"
#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/RealFft.h"
#include "kestrum/design/Response.h"
#include "kestrum/wav/ReadWavFile.h"

namespace kestrum {

namespace {

using std::numbers::pi;

std::string Hz(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%g Hz", Value);
  return Text;
}

bool HasTwoEdges(TBandKind Kind) { return Kind == TBandKind::Bandpass || Kind == TBandKind::Bandstop; }

// Whether the ideal response has gain at half the rate: only then must the
// centre tap be a whole delay, so the tap count odd.
bool PassesNyquist(TBandKind Kind) { return Kind == TBandKind::Highpass || Kind == TBandKind::Bandstop; }

const char* KindName(TBandKind Kind) {
  switch (Kind) {
    case TBandKind::Lowpass: return "Lowpass";
    case TBandKind::Highpass: return "Highpass";
    case TBandKind::Bandpass: return "Bandpass";
    case TBandKind::Bandstop: return "Bandstop";
  }
  return "";
}

const char* WindowName(TWindowKind Window) {
  switch (Window) {
    case TWindowKind::Rectangular: return "Rectangular";
    case TWindowKind::Hann: return "Hann";
    case TWindowKind::Hamming: return "Hamming";
    case TWindowKind::Blackman: return "Blackman";
    case TWindowKind::Kaiser: return "Kaiser";
  }
  return "";
}

// The modified Bessel function of the first kind, order 0, by its series.
double BesselI0(double X) {
  double Sum = 1, Term = 1;
  for (int K = 1; Term > 1e-17 * Sum; ++K) {
    const double Half = X / (2 * K);
    Term *= Half * Half;
    Sum += Term;
  }
  return Sum;
}

// The window's value at tap N of Taps. The cosine windows are sampled at
// (N + 1) / (Taps + 1), so that their end taps are not the zeros these
// windows have at their edges: each tap does some work.
double WindowAt(TWindowKind Window, double Beta, int32_t N, int32_t Taps) {
  const double X = (N + 1.0) / (Taps + 1.0);
  switch (Window) {
    case TWindowKind::Rectangular: return 1;
    case TWindowKind::Hann: return 0.5 - 0.5 * std::cos(2 * pi * X);
    case TWindowKind::Hamming: return 0.54 - 0.46 * std::cos(2 * pi * X);
    case TWindowKind::Blackman:
      return 0.42 - 0.5 * std::cos(2 * pi * X) + 0.08 * std::cos(4 * pi * X);
    case TWindowKind::Kaiser: {
      if (Taps == 1) return 1;
      const double R = 2.0 * N / (Taps - 1) - 1;
      return BesselI0(Beta * std::sqrt(std::max(0.0, 1 - R * R))) / BesselI0(Beta);
    }
  }
  return 1;
}

// The ideal lowpass with cutoff F (cycles per sample) at X frames from its centre.
double IdealLowpass(double F, double X) {
  return X == 0 ? 2 * F : std::sin(2 * pi * F * X) / (pi * X);
}

std::complex<double> GainAt(const std::vector<double>& H, double F) {
  std::complex<double> Sum = 0;
  for (size_t N = 0; N < H.size(); ++N) Sum += H[N] * std::polar(1.0, -2 * pi * F * double(N));
  return Sum;
}

// The windowed-sinc coefficients, passband gain 1, still in double.
std::vector<double> WindowedSinc(const TDesignRequest& R, int32_t Taps, TWindowKind Window,
                                 double Beta) {
  const double Low = R.Low / R.Rate, High = R.High / R.Rate;
  const double Mid = (Taps - 1) / 2.0;
  std::vector<double> H(Taps);
  for (int32_t N = 0; N < Taps; ++N) {
    const double X = N - Mid;
    const double Delta = X == 0 ? 1 : 0;
    double Ideal = 0;
    switch (R.Kind) {
      case TBandKind::Lowpass: Ideal = IdealLowpass(Low, X); break;
      case TBandKind::Highpass: Ideal = Delta - IdealLowpass(Low, X); break;
      case TBandKind::Bandpass: Ideal = IdealLowpass(High, X) - IdealLowpass(Low, X); break;
      case TBandKind::Bandstop: Ideal = Delta - IdealLowpass(High, X) + IdealLowpass(Low, X); break;
    }
    H[N] = Ideal * WindowAt(Window, Beta, N, Taps);
  }
  double Reference = 0;  // cycles per sample where the gain is made 1
  if (R.Kind == TBandKind::Highpass) Reference = 0.5;
  if (R.Kind == TBandKind::Bandpass) Reference = (Low + High) / 2;
  const double Gain = std::abs(GainAt(H, Reference));
  for (double& C : H) C /= Gain;
  return H;
}

// Whether coefficients H, once rounded to float, keep the passband within
// 1 +- Deviation and the stopband below Deviation: on an FFT grid at least
// 16 points per 1 / Taps of the rate, and exactly at every band's ends,
// where a windowed sinc deviates most.
// The FFT that MeetsAttenuation's grid needs, made once for the tries of a
// design: its twiddles cost more than a transform.
struct TGridFft {
  size_t Size = 0;
  std::unique_ptr<TComplexFft> Fft;
};

bool MeetsAttenuation(const TDesignRequest& R, const std::vector<double>& H, double Deviation, TGridFft& Plan) {
  std::vector<double> Rounded(H.size());
  std::transform(H.begin(), H.end(), Rounded.begin(), [](double C) { return double(float(C)); });
  const double Half = R.Transition / 2, Nyquist = R.Rate / 2;
  struct TBand { double From, To; bool Pass; };
  std::vector<TBand> Bands;
  const bool LowPasses = R.Kind == TBandKind::Lowpass || R.Kind == TBandKind::Bandstop;
  Bands.push_back({0, R.Low - Half, LowPasses});
  if (HasTwoEdges(R.Kind)) {
    Bands.push_back({R.Low + Half, R.High - Half, !LowPasses});
    Bands.push_back({R.High + Half, Nyquist, LowPasses});
  } else {
    Bands.push_back({R.Low + Half, Nyquist, !LowPasses});
  }
  const TResponse Response(Rounded, R.Rate);
  const auto Misses = [&](const TBand& Band, double Gain) {
    return Band.Pass ? std::abs(Gain - 1) > Deviation : Gain > Deviation;
  };
  // The ripple is largest near the ends: a long filter that misses is
  // mostly found there, by a few direct sums, before the FFT.
  const double Near = R.Rate / (4.0 * double(H.size()));
  for (int K = 0; K < (H.size() > size_t{FIR_MAX_TAPS} ? 12 : 1); ++K)
    for (const TBand& Band : Bands)
      if (Misses(Band, std::abs(Response.At(std::min(Band.From + K * Near, Band.To)))) ||
          Misses(Band, std::abs(Response.At(std::max(Band.To - K * Near, Band.From)))))
        return false;
  // Count + 1 bins from 0 Hz to half the rate, as TResponse::Grid has them.
  const size_t Count = std::bit_ceil(8 * H.size());
  if (Plan.Size != 2 * Count) Plan = {2 * Count, std::make_unique<TComplexFft>(2 * Count)};
  std::vector<std::complex<double>> In(2 * Count), Out(2 * Count);
  std::copy(Rounded.begin(), Rounded.end(), In.begin());
  Plan.Fft->Transform(In.data(), Out.data());
  for (size_t K = 0; K <= Count; ++K) {
    const double F = Nyquist * double(K) / double(Count);
    for (const TBand& Band : Bands)
      if (F >= Band.From && F <= Band.To && Misses(Band, std::abs(Out[K]))) return false;
  }
  return true;
}

// Kaiser's estimate of the taps for an attenuation and a transition width,
// made odd so that every band kind can use it.
int32_t KaiserTaps(double Attenuation, double Transition, double Rate, int32_t MaxTaps) {
  const double Width = 2 * pi * Transition / Rate;
  const double Order =
      Attenuation > 21 ? (Attenuation - 7.95) / (2.285 * Width) : 5.79 / Width;
  if (Order > 2.0 * MaxTaps) return 2 * MaxTaps + 1;
  const auto Taps = static_cast<int32_t>(std::ceil(Order)) + 1;
  return Taps % 2 == 1 ? Taps : Taps + 1;
}

TFirFilter ToFilter(const std::vector<double>& H, const std::string& Comment) {
  TFirFilter Filter;
  Filter.FilterComment = Comment;
  Filter.NbTaps = static_cast<int32_t>(H.size());
  for (int32_t N = 0; N < Filter.NbTaps; ++N) {
    Filter.Delays[N] = N;
    Filter.Coefs[N] = static_cast<float>(H[N]);
  }
  return Filter;
}

}  // namespace

double KaiserBeta(double Attenuation) {
  const TDefaultFloatEnv Env;
  if (Attenuation > 50) return 0.1102 * (Attenuation - 8.7);
  if (Attenuation >= 21)
    return 0.5842 * std::pow(Attenuation - 21, 0.4) + 0.07886 * (Attenuation - 21);
  return 0;
}

namespace {

// The widest transition band that keeps clear of 0 Hz, half the rate and
// the other edge's band.
double WidestTransition(const TDesignRequest& R) {
  double Widest = std::min(R.Low, R.Rate / 2 - (HasTwoEdges(R.Kind) ? R.High : R.Low));
  if (HasTwoEdges(R.Kind)) Widest = std::min(Widest, (R.High - R.Low) / 2);
  return Widest;
}

// A window's nominal stopband attenuation in dB and the width of its
// transition band times its taps, in units of the rate.
struct TWindowFigures {
  double Attenuation, WidthTimesTaps;
};
TWindowFigures NominalFigures(TWindowKind Window, double Beta) {
  switch (Window) {
    case TWindowKind::Rectangular: return {21, 0.9};
    case TWindowKind::Hann: return {44, 3.1};
    case TWindowKind::Hamming: return {53, 3.3};
    case TWindowKind::Blackman: return {74, 5.5};
    case TWindowKind::Kaiser: {
      // Kaiser's formula for beta read backwards (it grows with the attenuation).
      double Low = 21, High = 1000;
      for (int I = 0; I < 60; ++I) ((KaiserBeta((Low + High) / 2) < Beta) ? Low : High) = (Low + High) / 2;
      return {Low, (Low - 7.95) / (2.285 * 2 * pi)};
    }
  }
  return {21, 0.9};
}

std::string Db(double Value) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "%.1f dB", Value);
  return Text;
}

}  // namespace

double DefaultTransition(const TDesignRequest& R) {
  const TDefaultFloatEnv Env;
  const double Attenuation = std::isnan(R.Attenuation) ? kDefaultAttenuation : R.Attenuation;
  const double Fits = (Attenuation - 7.95) * R.Rate / (2.285 * 2 * pi * 800);
  return std::min(std::max(R.Low / 10, Fits), WidestTransition(R));
}

TDesignRequest WithDefaults(TDesignRequest R) {
  if (R.Taps != 0) return R;
  if (std::isnan(R.Attenuation)) R.Attenuation = kDefaultAttenuation;
  if (std::isnan(R.Transition)) R.Transition = DefaultTransition(R);
  return R;
}

std::vector<std::string> DesignShortfalls(const TDesignRequest& R, const std::vector<double>& Taps) {
  const TDefaultFloatEnv Env;
  const int32_t N = static_cast<int32_t>(Taps.size());
  const TWindowFigures Nominal = NominalFigures(R.Window, R.Beta);
  const double Wanted = R.Taps > 0 ? Nominal.Attenuation - 10 : R.Attenuation;
  std::vector<double> References;
  if (R.Kind == TBandKind::Highpass || R.Kind == TBandKind::Bandpass) References.push_back(0);
  if (R.Kind == TBandKind::Lowpass || R.Kind == TBandKind::Bandpass) References.push_back(R.Rate / 2);
  if (R.Kind == TBandKind::Bandstop) References.push_back((R.Low + R.High) / 2);
  const TResponse Response(Taps, R.Rate);
  std::vector<std::string> Warnings;
  for (const double F : References) {
    const double Gain = 20 * std::log10(std::max(std::abs(Response.At(F)), 1e-15));
    if (Gain < -Wanted) continue;
    std::string Text = "the gain at " + Hz(F) + " is " + Db(Gain) + ", not below " + Db(-Wanted) + ": ";
    if (R.Taps > 0) {
      const double Taps = std::ceil(Nominal.WidthTimesTaps * R.Rate / std::max(WidestTransition(R), 1e-9));
      char Would[64];
      std::snprintf(Would, sizeof Would, "about %.0f would do", Taps + (std::fmod(Taps, 2) == 0 ? 1 : 0));
      Text += std::to_string(N) + (N == 1 ? " tap" : " taps") + " of a " + WindowName(R.Window) +
              " window are too few for this edge at " + Hz(R.Rate) + " (" + Would + ")";
    } else {
      Text += "the stopband misses the asked " + Db(R.Attenuation) + " attenuation";
    }
    Warnings.push_back(Text);
  }
  return Warnings;
}

std::string CheckDesignRequest(const TDesignRequest& R, int32_t MaxTaps) {
  const TDefaultFloatEnv Env;
  const double Nyquist = R.Rate / 2;
  if (!(R.Rate > 0) || !std::isfinite(R.Rate)) return "the rate must be a positive number of Hz";
  const bool Two = HasTwoEdges(R.Kind);
  const std::string Edge = Two ? "the lower edge " : "the cutoff ";
  if (!(R.Low > 0)) return Edge + "must be above 0 Hz";
  if (!(R.Low < Nyquist))
    return Edge + Hz(R.Low) + " is not below half the rate (" + Hz(Nyquist) + ")";
  if (Two && !(R.High > R.Low))
    return "the upper edge " + Hz(R.High) + " is not above the lower edge " + Hz(R.Low);
  if (Two && !(R.High < Nyquist))
    return "the upper edge " + Hz(R.High) + " is not below half the rate (" + Hz(Nyquist) + ")";
  if (R.Taps == 0) {
    if (!(R.Attenuation > 0)) return "the attenuation must be above 0 dB";
    if (!(R.Transition > 0)) return "the transition width must be above 0 Hz";
    const double Half = R.Transition / 2;
    const double Top = Two ? R.High : R.Low;
    if (R.Low - Half <= 0 || Top + Half >= Nyquist || (Two && R.Low + Half >= R.High - Half))
      return "transition bands " + Hz(R.Transition) + " wide, centred on the edges, must lie "
             "between 0 Hz and half the rate (" + Hz(Nyquist) + ") without overlapping";
    return "";
  }
  if (R.Taps < 1 || R.Taps > MaxTaps)
    return "the tap count must be from 1 to " + std::to_string(MaxTaps);
  if (PassesNyquist(R.Kind) && R.Taps % 2 == 0)
    return std::string("a ") + (R.Kind == TBandKind::Highpass ? "highpass" : "bandstop") +
           " needs an odd tap count: an even one has no gain at half the rate";
  // Beyond 100 the window is nearly a single tap, and its Bessel function
  // soon overflows.
  if (R.Window == TWindowKind::Kaiser && !(R.Beta >= 0 && R.Beta <= 100))
    return "the Kaiser window's beta must be from 0 to 100";
  return "";
}

double DesignedRate(const std::string& Comment) {
  const TDefaultFloatEnv Env;
  static const std::regex kAt(R"((^|[ ,(])at ([0-9]+(\.[0-9]+)?) Hz($|[ ,;)]))");
  double Rate = 0;
  for (auto It = std::sregex_iterator(Comment.begin(), Comment.end(), kAt); It != std::sregex_iterator(); ++It)
    Rate = std::stod((*It)[2].str());
  return Rate;
}

namespace {

std::string RateWarningAt(const std::string& FilterName, double Designed, uint32_t Frequency) {
  if (Designed == 0 || Frequency == 0 || std::abs(Designed - Frequency) < 0.5) return "";
  char Text[160];
  std::snprintf(Text, sizeof Text, "was made for %g Hz and the source is %u Hz: its frequencies "
                "move by a factor of %.4g", Designed, Frequency, Frequency / Designed);
  return FilterName + " " + Text + " (a FILTER such as lowpass:3000 is designed at the source's rate)";
}

}  // namespace

std::string RateWarning(const std::string& FilterName, const std::string& Comment, uint32_t Frequency) {
  return RateWarningAt(FilterName, DesignedRate(Comment), Frequency);
}

std::string RateWarning(const TFilter& Filter, uint32_t Frequency) {
  return RateWarningAt(Filter.Name, Filter.Rate != 0 ? Filter.Rate : DesignedRate(Filter.Comment), Frequency);
}

std::string DesignLogLine(const TFilter& Designed) {
  return "Filter: " + Designed.Name + ", designed at " + std::to_string(Designed.Rate) + " Hz";
}

TFirFilter DesignFilter(const TDesignRequest& R) {
  const TDefaultFloatEnv Env;
  return ToFirFilter(DesignTaps(R, FIR_MAX_TAPS));
}

TFirFilter ToFirFilter(const TDesignedTaps& Design) { return ToFilter(Design.Taps, Design.Comment); }

TDesignedTaps DesignTaps(const TDesignRequest& R, int32_t MaxTaps) {
  const TDefaultFloatEnv Env;
  if (const std::string Problem = CheckDesignRequest(R, MaxTaps); !Problem.empty())
    throw EGeneralError(Problem);
  const std::string Edges = HasTwoEdges(R.Kind) ? Hz(R.Low) + " to " + Hz(R.High)
                                                 : "cutoff " + Hz(R.Low);
  const auto Comment = [&](int32_t Taps, TWindowKind Window, double Beta) {
    std::string Text = std::string(KindName(R.Kind)) + ", windowed sinc, " +
                       std::to_string(Taps) + (Taps == 1 ? " tap, " : " taps, ") + Edges + " at " + Hz(R.Rate) + ", " +
                       WindowName(Window) + " window";
    if (Window == TWindowKind::Kaiser) {
      char Extra[96];
      std::snprintf(Extra, sizeof Extra, " (beta %.4g)", Beta);
      Text += Extra;
    }
    return Text;
  };

  if (R.Taps > 0) {
    std::vector<double> H = WindowedSinc(R, R.Taps, R.Window, R.Beta);
    std::vector<std::string> Warnings = DesignShortfalls(R, H);
    return {std::move(H), Comment(R.Taps, R.Window, R.Beta), std::move(Warnings)};
  }

  // A window for 1 dB more than asked: the ripple of one made for exactly
  // the attenuation touches it, and more taps then meet it only by chance.
  const double Beta = KaiserBeta(R.Attenuation + 1);
  const double Deviation = std::pow(10.0, -R.Attenuation / 20);
  char Asked[96];
  std::snprintf(Asked, sizeof Asked, "%g dB attenuation, transitions %s wide", R.Attenuation,
                Hz(R.Transition).c_str());
  // Kaiser's estimate is close but not a promise: add taps until the
  // response, as the kernel will use it, meets the request.
  // Steps of 2 taps up to FIR_MAX_TAPS, of about 1 in 64 beyond, as each
  // try costs an FFT of the length; the first count that meets it is kept.
  const int32_t Estimate = KaiserTaps(R.Attenuation + 1, R.Transition, R.Rate, MaxTaps);
  TGridFft Plan;
  for (int32_t Taps = Estimate; Taps <= MaxTaps; Taps += Taps > FIR_MAX_TAPS ? 2 * std::max(1, Taps / 128) : 2) {
    std::vector<double> H = WindowedSinc(R, Taps, TWindowKind::Kaiser, Beta);
    if (MeetsAttenuation(R, H, Deviation, Plan)) {
      std::vector<std::string> Warnings = DesignShortfalls(R, H);
      return {std::move(H), Comment(Taps, TWindowKind::Kaiser, Beta) + " for " + Asked, std::move(Warnings)};
    }
  }
  const std::string Max = std::to_string(MaxTaps);
  throw EGeneralError(std::string(Asked) + " needs " +
                      (Estimate > MaxTaps && Estimate <= 2 * MaxTaps
                           ? "about " + std::to_string(Estimate)
                           : "more than " + Max) +
                      " taps, and a filter holds at most " + Max +
                      ": ask for wider transitions or less attenuation");
}

namespace {

// A sample's value as a fraction of full scale; a float sample is one already.
double FullScaleFraction(const uint8_t* P, TSampleFormat Format) {
  switch (Format) {
    case TSampleFormat::Pcm8: return (P[0] - 128) / 128.0;
    case TSampleFormat::Pcm16: return static_cast<int16_t>(ReadU16LE(P)) / 32768.0;
    case TSampleFormat::Pcm24: return ReadS24LE(P) / 8388608.0;
    case TSampleFormat::Pcm32: return static_cast<int32_t>(ReadU32LE(P)) / 2147483648.0;
    case TSampleFormat::Float32: return std::bit_cast<float>(ReadU32LE(P));
    case TSampleFormat::Float64: return std::bit_cast<double>(uint64_t{ReadU32LE(P)} | uint64_t{ReadU32LE(P + 4)} << 32);
  }
  return 0;
}

}  // namespace

void TImpulse::Append(double Sample) {
  if (Samples.size() <= size_t{kMaxTapDelay} && LaterZeros + LaterOthers == 0) {
    Samples.push_back(Sample);
    return;
  }
  if (Sample == 0) {
    ++LaterZeros;
  } else {
    if (std::abs(Sample) > LaterPeak) {
      LaterPeak = std::abs(Sample);
      LaterPeakFrame = Frames();
    }
    ++LaterOthers;
  }
}

namespace {

std::string BeyondLongestDelay(double ThresholdDb, int64_t Frame) {
  char Threshold[32];
  std::snprintf(Threshold, sizeof Threshold, "%g dB", ThresholdDb);
  return "the impulse response reaches " + std::string(Threshold) + " re its peak at frame " +
         std::to_string(Frame) + ", beyond the longest delay a filter can hold, " + std::to_string(kMaxTapDelay) +
         " frames; the WAV file itself can be the filter, as a long filter of any length";
}

}  // namespace

TImpulse ReadImpulse(const std::string& FileName, int Channel, double ThresholdDb) {
  const TDefaultFloatEnv Env;
  TReadWavFile Reader;
  Reader.FileName = FileName;
  Reader.SetActive(true);
  TImpulse Impulse;
  Impulse.Rate = Reader.Frequency;
  Impulse.Channels = Reader.Channels;
  CheckImpulseChannel(FileName, Impulse.Channels, Channel, false);
  const TSampleFormat Format = Reader.SampleFormat();
  const int SampleBytes = BytesPerSample(Format);
  const int FrameBytes = Reader.FrameBytes();
  constexpr int32_t kChunk = 65536;
  std::vector<uint8_t> Raw(size_t{kChunk} * static_cast<size_t>(FrameBytes));
  // A PCM peak is full scale at most: a sample at this level is kept whatever it is.
  const double Certain =
      IsFloat(Format) || !std::isfinite(ThresholdDb) ? INFINITY : std::pow(10.0, ThresholdDb / 20);
  for (int32_t Done = 0; Done < Reader.NSamples; Done += kChunk) {
    const int32_t Count = std::min(kChunk, Reader.NSamples - Done);
    Reader.ReadFrames(Raw.data(), Count);
    for (int32_t I = 0; I < Count; ++I) {
      const double Sample =
          FullScaleFraction(&Raw[size_t(I) * FrameBytes + size_t(Channel - 1) * SampleBytes], Format);
      if (!std::isfinite(Sample)) ThrowNonFiniteTap(FileName, Done + I, Sample);
      if (std::abs(Sample) >= Certain && Done + I > kMaxTapDelay)
        throw EGeneralError(FileName + ": " + BeyondLongestDelay(ThresholdDb, Done + I));
      Impulse.Append(Sample);
    }
  }
  Reader.SetActive(false);
  return Impulse;
}

TFirFilter FilterFromImpulse(const TImpulse& Impulse, double ThresholdDb,
                             const std::string& Comment, TImpulseReport& Report) {
  const TDefaultFloatEnv Env;
  Report = {};
  std::vector<double> Magnitudes;
  for (double S : Impulse.Samples) Magnitudes.push_back(std::abs(S));
  const double Peak = std::max(Magnitudes.empty() ? 0 : *std::max_element(Magnitudes.begin(), Magnitudes.end()),
                               Impulse.LaterPeak);
  if (Peak == 0) throw EGeneralError("the impulse response holds only silence");
  const double Floor = Peak * std::pow(10.0, ThresholdDb / 20);
  char Threshold[32];
  std::snprintf(Threshold, sizeof Threshold, "%g dB", ThresholdDb);
  const auto RefuseDelay = [&](int64_t Frame) { throw EGeneralError(BeyondLongestDelay(ThresholdDb, Frame)); };
  // The samples summed up all lie beyond the longest delay: they must all be dropped.
  if (Impulse.LaterPeak > 0 && Impulse.LaterPeak >= Floor) RefuseDelay(Impulse.LaterPeakFrame);
  Report.DroppedZero = static_cast<int32_t>(std::min<int64_t>(Impulse.LaterZeros, INT32_MAX));
  Report.Dropped = static_cast<int32_t>(std::min<int64_t>(Impulse.LaterOthers, INT32_MAX));
  Report.LargestDropped = Impulse.LaterPeak / Peak;

  std::vector<int32_t> Kept;
  for (size_t N = 0; N < Magnitudes.size(); ++N) {
    if (Magnitudes[N] == 0) {
      ++Report.DroppedZero;
    } else if (Magnitudes[N] < Floor) {
      ++Report.Dropped;
      Report.LargestDropped = std::max(Report.LargestDropped, Magnitudes[N] / Peak);
    } else {
      Kept.push_back(static_cast<int32_t>(N));
    }
  }
  if (Kept.empty())
    throw EGeneralError("no sample of the impulse response reaches " + std::string(Threshold) +
                        " re its peak");
  if (Kept.size() > size_t{FIR_MAX_TAPS}) {
    std::nth_element(Magnitudes.begin(), Magnitudes.begin() + FIR_MAX_TAPS, Magnitudes.end(),
                     std::greater<>());
    char Fits[96];
    std::snprintf(Fits, sizeof Fits, "; a threshold above %.2f dB keeps at most %d",
                  20 * std::log10(Magnitudes[FIR_MAX_TAPS] / Peak), FIR_MAX_TAPS);
    throw EGeneralError(std::to_string(Kept.size()) + " samples of the impulse response reach " +
                        Threshold + " re its peak, more than the " +
                        std::to_string(FIR_MAX_TAPS) + " taps a filter holds" + Fits);
  }
  if (Kept.back() > kMaxTapDelay) RefuseDelay(Kept.back());

  TFirFilter Filter;
  Filter.FilterComment = Comment;
  Filter.NbTaps = static_cast<int32_t>(Kept.size());
  for (int32_t I = 0; I < Filter.NbTaps; ++I) {
    Filter.Delays[I] = Kept[I];
    Filter.Coefs[I] = static_cast<float>(Impulse.Samples[Kept[I]]);
  }
  Report.Kept = Filter.NbTaps;
  return Filter;
}

TFirFilter FilterFromImpulseFile(const std::string& FileName, int Channel, double ThresholdDb,
                                 TImpulseReport& Report, int64_t& Frames) {
  const TImpulse Impulse = ReadImpulse(FileName, Channel, ThresholdDb);
  char Comment[96];
  std::snprintf(Comment, sizeof Comment, " at %g Hz, samples at or above %g dB re the peak", Impulse.Rate,
                ThresholdDb);
  std::string Name = FileName.substr(FileName.find_last_of('/') + 1);
  if (Impulse.Channels > 1) Name += ", channel " + std::to_string(Channel);
  Frames = Impulse.Frames();
  try {
    return FilterFromImpulse(Impulse, ThresholdDb, "Impulse response " + Name + Comment, Report);
  } catch (const EGeneralError& E) {
    throw EGeneralError(FileName + ": " + E.what());
  }
}

}  // namespace kestrum
