// Evaluates a filter's transfer function directly and by FFT, and lays the
// result out as text, CSV and SVG.
#include "kestrum/design/Response.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/RealFft.h"


namespace kestrum {

namespace {

using std::numbers::pi;
using TComplex = std::complex<double>;

std::string Format(const char* Pattern, double Value) {
  char Text[64];
  std::snprintf(Text, sizeof Text, Pattern, Value);
  return Text;
}

// X[k] = sum x[n] e^(-2 pi i k n / N), in double precision.
void Fft(std::vector<TComplex>& X) {
  std::vector<TComplex> Out(X.size());
  TComplexFft(X.size()).Transform(X.data(), Out.data());
  X.swap(Out);
}

std::string GainText(double Gain) {
  if (Gain == 0) return "0";
  const double Db = 20 * std::log10(Gain);
  return Format("%.6g", Gain) + Format(" (%+.2f dB)", std::abs(Db) < 0.005 ? 0.0 : Db);
}

std::string FramesText(double Frames, double Rate) {
  return Format(Frames == 1 ? "%.6g frame" : "%.6g frames", Frames) + Format(" (%.4g ms)", 1000 * Frames / Rate);
}

std::string CrossingsText(const TCrossings& C) {
  if (C.Count == 0) return "none";
  std::string Text;
  for (double F : C.Frequencies) Text += (Text.empty() ? "" : ", ") + Format("%.6g Hz", F);
  if (C.Count > static_cast<int32_t>(C.Frequencies.size()))
    Text += ", ... (" + std::to_string(C.Count) + " in all)";
  return Text;
}

TCrossings FindCrossings(const TResponse& Response, const std::vector<double>& Grid, double Level) {
  TCrossings Found;
  const double Step = Response.Rate() / 2 / double(Grid.size() - 1);
  for (size_t K = 0; K + 1 < Grid.size(); ++K) {
    if ((Grid[K] >= Level) == (Grid[K + 1] >= Level)) continue;
    if (++Found.Count > kMaxCrossings) continue;
    double Low = Step * double(K), High = Step * double(K + 1);
    const bool LowAbove = Grid[K] >= Level;
    while (High - Low > 1e-4) {
      const double Mid = (Low + High) / 2;
      ((std::abs(Response.At(Mid)) >= Level) == LowAbove ? Low : High) = Mid;
    }
    Found.Frequencies.push_back((Low + High) / 2);
  }
  return Found;
}

// Text as XML character data in UTF-8: markup characters as entities; a
// byte that does not start a valid UTF-8 sequence is taken as Latin-1 (a
// comment written in it is common) and transcoded; control characters but
// the tab, which XML does not allow, are shown escaped as \xHH, as errors
// show them.
std::string Escaped(const std::string& Text) {
  std::string Out;
  const auto Byte = [&](size_t I) { return I < Text.size() ? static_cast<unsigned char>(Text[I]) : 0u; };
  for (size_t I = 0; I < Text.size();) {
    const unsigned C = Byte(I);
    // The length of a valid UTF-8 sequence at I, 0 if none: no overlong
    // forms, surrogates or code points beyond U+10FFFF.
    size_t Length = 0;
    if (C >= 0xC2 && C <= 0xDF) {
      Length = 2;
    } else if (C >= 0xE0 && C <= 0xEF) {
      const unsigned Next = Byte(I + 1);
      if ((C != 0xE0 || Next >= 0xA0) && (C != 0xED || Next < 0xA0)) Length = 3;
    } else if (C >= 0xF0 && C <= 0xF4) {
      const unsigned Next = Byte(I + 1);
      if ((C != 0xF0 || Next >= 0x90) && (C != 0xF4 || Next < 0x90)) Length = 4;
    }
    for (size_t K = 1; K < Length; ++K)
      if ((Byte(I + K) & 0xC0) != 0x80) Length = 0;
    // U+FFFE and U+FFFF are not XML characters either.
    if (Length == 3 && C == 0xEF && Byte(I + 1) == 0xBF && Byte(I + 2) >= 0xBE) Length = 0;
    if (Length > 0) {
      Out.append(Text, I, Length);
      I += Length;
      continue;
    }
    ++I;
    switch (C) {
      case '&': Out += "&amp;"; break;
      case '<': Out += "&lt;"; break;
      case '>': Out += "&gt;"; break;
      case '"': Out += "&quot;"; break;
      default:
        if ((C < 0x20 && C != '\t') || (C >= 0x7F && C < 0xA0)) {
          static const char kHex[] = "0123456789abcdef";
          Out += {'\\', 'x', kHex[C >> 4], kHex[C & 15]};
        } else if (C < 0x80) {
          Out += static_cast<char>(C);
        } else {  // Latin-1 to UTF-8
          Out += static_cast<char>(0xC0 | C >> 6);
          Out += static_cast<char>(0x80 | (C & 0x3F));
        }
    }
  }
  return Out;
}

std::string FrequencyLabel(double F) {
  return F >= 1000 ? Format("%gk", F / 1000) : Format("%g", F);
}

// One plot panel: a box at (Left, Top) of size Width x Height whose y axis
// runs from Low (bottom) to High (top).
struct TPanel {
  double Top, Height, Low, High;
  double Y(double V) const {
    V = std::clamp(V, Low, High);
    return Top + Height * (High - V) / (High - Low);
  }
};

// A polyline through the points whose value is finite, broken where it is not.
std::string Curve(const std::vector<double>& X, const std::vector<double>& V, const TPanel& P,
                  const char* Colour) {
  std::string Svg, Points;
  const auto Flush = [&] {
    if (!Points.empty())
      Svg += "<polyline fill=\"none\" stroke=\"" + std::string(Colour) +
             "\" stroke-width=\"1.5\" points=\"" + Points + "\"/>\n";
    Points.clear();
  };
  for (size_t I = 0; I < X.size(); ++I) {
    if (!std::isfinite(V[I])) {
      Flush();
      continue;
    }
    Points += Format("%.1f", X[I]) + "," + Format("%.1f ", P.Y(V[I]));
  }
  Flush();
  return Svg;
}

// Keeps, of the points falling in each pixel column, the first, the lowest,
// the highest and the last, in their order: the drawn line looks the same
// and the file stays small however many points there are. A non-finite
// value stays, as the break it makes.
void Decimate(std::vector<double>& X, std::vector<double>& V) {
  std::vector<double> OutX, OutV;
  size_t Begin = 0;
  const auto Flush = [&](size_t End) {
    if (Begin == End) return;
    size_t Low = Begin, High = Begin;
    for (size_t I = Begin; I < End; ++I) {
      if (V[I] < V[Low]) Low = I;
      if (V[I] > V[High]) High = I;
    }
    size_t Keep[] = {Begin, std::min(Low, High), std::max(Low, High), End - 1};
    for (size_t K = 0; K < 4; ++K) {
      if (K > 0 && Keep[K] == Keep[K - 1]) continue;
      OutX.push_back(X[Keep[K]]);
      OutV.push_back(V[Keep[K]]);
    }
  };
  for (size_t I = 0; I < X.size(); ++I) {
    if (!std::isfinite(V[I])) {
      Flush(I);
      OutX.push_back(X[I]);
      OutV.push_back(V[I]);
      Begin = I + 1;
    } else if (std::floor(X[I]) != std::floor(X[Begin])) {
      Flush(I);
      Begin = I;
    }
  }
  Flush(X.size());
  X.swap(OutX);
  V.swap(OutV);
}

// A round step (1, 2 or 5 times a power of ten) giving about Ticks
// intervals over Span.
double RoundStep(double Span, int Ticks) {
  const double Raw = Span / Ticks, Power = std::pow(10.0, std::floor(std::log10(Raw)));
  for (double M : {1.0, 2.0, 5.0})
    if (M * Power >= Raw) return M * Power;
  return 10 * Power;
}

// The lowest plotted frequency: a power of ten about three decades below
// half the rate.
double FirstFrequency(double Nyquist) { return std::pow(10.0, std::floor(std::log10(Nyquist / 1000))); }

}  // namespace

double GainDb(double Gain) {
  const TDefaultFloatEnv Env;
  return Gain > 0 ? std::max(kFloorDb, 20 * std::log10(Gain)) : kFloorDb;
}

TResponse::TResponse(const TFirFilter& Filter, double Rate) : FRate(Rate) {
  const TDefaultFloatEnv Env;
  for (int32_t I = 0; I < std::min(Filter.NbTaps, FIR_MAX_TAPS); ++I) {
    const int32_t Delay = EffectiveDelay(Filter.Delays[I]);
    FWrapped = FWrapped || Delay != Filter.Delays[I];
    FDelays.push_back(Delay);
    FCoefs.push_back(Filter.Coefs[I]);
    FWorstCase += std::abs(double(Filter.Coefs[I]));
  }
  Bounds();
}

TResponse::TResponse(const std::vector<double>& Taps, double Rate) : FRate(Rate) {
  const TDefaultFloatEnv Env;
  for (size_t I = 0; I < Taps.size(); ++I) {
    FDelays.push_back(static_cast<int32_t>(I));
    FCoefs.push_back(Taps[I]);
    FWorstCase += std::abs(Taps[I]);
  }
  Bounds();
}

void TResponse::Bounds() {
  if (!FDelays.empty()) {
    FMinDelay = *std::min_element(FDelays.begin(), FDelays.end());
    FMaxDelay = *std::max_element(FDelays.begin(), FDelays.end());
  }
}

TComplex TResponse::At(double Frequency) const {
  const TDefaultFloatEnv Env;
  TComplex Sum = 0;
  const double W = -2 * pi * Frequency / FRate;
  for (size_t I = 0; I < FDelays.size(); ++I) Sum += FCoefs[I] * std::polar(1.0, W * FDelays[I]);
  return Sum;
}

double TResponse::GroupDelay(double Frequency) const {
  const TDefaultFloatEnv Env;
  TComplex Sum = 0, Weighted = 0;
  const double W = -2 * pi * Frequency / FRate;
  for (size_t I = 0; I < FDelays.size(); ++I) {
    const TComplex Term = FCoefs[I] * std::polar(1.0, W * FDelays[I]);
    Sum += Term;
    Weighted += double(FDelays[I]) * Term;
  }
  return DelayOf(Sum, Weighted);
}

std::vector<TComplex> TResponse::Spectrum(int32_t Count, bool ByDelay) const {
  const TDefaultFloatEnv Env;
  // Delays beyond the FFT's length alias onto the same bins exactly.
  std::vector<TComplex> X(2 * size_t(Count));
  for (size_t I = 0; I < FDelays.size(); ++I)
    X[size_t(FDelays[I]) % X.size()] += FCoefs[I] * (ByDelay ? double(FDelays[I]) : 1.0);
  Fft(X);
  X.resize(size_t(Count) + 1);
  return X;
}

std::vector<double> TResponse::Grid(int32_t Count) const {
  const TDefaultFloatEnv Env;
  const std::vector<TComplex> X = Spectrum(Count, false);
  std::vector<double> Magnitudes(X.size());
  for (size_t K = 0; K < Magnitudes.size(); ++K) Magnitudes[K] = std::abs(X[K]);
  return Magnitudes;
}

std::vector<TResponse::TBin> TResponse::Bins(int32_t Count) const {
  const TDefaultFloatEnv Env;
  const std::vector<TComplex> H = Spectrum(Count, false), Weighted = Spectrum(Count, true);
  std::vector<TBin> Bins(H.size());
  for (size_t K = 0; K < Bins.size(); ++K) Bins[K] = {H[K], DelayOf(H[K], Weighted[K])};
  return Bins;
}

double TResponse::DelayOf(TComplex Sum, TComplex Weighted) const {
  if (FDelays.empty() || std::abs(Sum) < 1e-6 * FWorstCase) return std::numeric_limits<double>::quiet_NaN();
  return (Weighted * std::conj(Sum)).real() / std::norm(Sum);
}

TResponseSummary Summarize(const TResponse& R) {
  const TDefaultFloatEnv Env;
  TResponseSummary S;
  S.Taps = R.Taps();
  S.MinDelay = R.MinDelay();
  S.MaxDelay = R.MaxDelay();
  S.Wrapped = R.Wrapped();
  S.WorstCaseGain = R.WorstCaseGain();
  S.GainDc = std::abs(R.At(0));
  S.GainNyquist = std::abs(R.At(R.Rate() / 2));
  S.GroupDelayDc = R.GroupDelay(0);
  // At least 8 bins per cycle of the longest delay's ripple.
  int32_t Count = 8192;
  while (Count < 8 * (R.MaxDelay() + 1)) Count *= 2;
  const std::vector<double> Grid = R.Grid(Count);
  S.PeakGain = std::max(*std::max_element(Grid.begin(), Grid.end()), std::max(S.GainDc, S.GainNyquist));
  if (S.PeakGain > 0) {
    S.Minus3 = FindCrossings(R, Grid, S.PeakGain * std::pow(10.0, -3.0 / 20));
    S.Minus60 = FindCrossings(R, Grid, S.PeakGain * 1e-3);
  }
  return S;
}

std::string FormatSummary(const TResponseSummary& S, double Rate) {
  const TDefaultFloatEnv Env;
  if (S.Taps == 0) return "Taps: 0, the filter gives silence\n";
  std::string Text = "Taps: " + std::to_string(S.Taps) + "\n";
  Text += "Delays: " + std::to_string(S.MinDelay) + " to " + FramesText(S.MaxDelay, Rate);
  if (S.Wrapped) Text += ", some as the kernel takes them, modulo " + std::to_string(FIR_HISTORY_SIZE);
  Text += "\nGain at 0 Hz: " + GainText(S.GainDc) + "\n";
  Text += "Gain at " + Format("%g Hz", Rate / 2) + ": " + GainText(S.GainNyquist) + "\n";
  Text += "Peak gain: " + GainText(S.PeakGain) + "\n";
  Text += "3 dB below the peak at: " + CrossingsText(S.Minus3) + "\n";
  Text += "60 dB below the peak at: " + CrossingsText(S.Minus60) + "\n";
  Text += "Group delay at 0 Hz: " +
          (std::isnan(S.GroupDelayDc) ? std::string("undefined, no gain at 0 Hz")
                                      : FramesText(S.GroupDelayDc, Rate)) + "\n";
  Text += "Worst-case gain: " + GainText(S.WorstCaseGain) +
          (S.WorstCaseGain > 1 ? ", a full-scale input can leave the sample range\n"
                               : ", no output exceeds the input's largest magnitude\n");
  return Text;
}

std::string ResponseCsv(const TResponse& R, int32_t Points) {
  const TDefaultFloatEnv Env;
  std::string Csv = "frequency_hz,magnitude_db,phase_deg,group_delay_frames\n";
  for (int32_t I = 0; I < Points; ++I) {
    const double F = R.Rate() / 2 * I / (Points - 1);
    const TComplex H = R.At(F);
    const double Delay = R.GroupDelay(F);
    Csv += Format("%.10g,", F) + Format("%.6g,", GainDb(std::abs(H))) +
           Format("%.6g,", std::arg(H) * 180 / pi) +
           (std::isnan(Delay) ? std::string() : Format("%.6g", Delay)) + "\n";
  }
  return Csv;
}

std::string ResponseSvg(const TResponse& R, const std::string& Title, int32_t Points) {
  const TDefaultFloatEnv Env;
  constexpr double kWidth = 820, kHeight = 610, kLeft = 80, kRight = 790;
  const int32_t Samples = std::max(Points, 2);
  constexpr double kSpanDb = 120;
  const double Nyquist = R.Rate() / 2;
  const double First = FirstFrequency(Nyquist);
  const double LogFirst = std::log10(First), LogSpan = std::log10(Nyquist) - LogFirst;
  const auto X = [&](double F) { return kLeft + (kRight - kLeft) * (std::log10(F) - LogFirst) / LogSpan; };

  // Points log-spaced frequencies, evaluated one by one, merged with equally
  // spaced ones, by FFT, 8 to each cycle of the longest delay's ripple: the
  // first draw the low decades smoothly, the second keep the high ones from
  // aliasing.
  int32_t Count = 1024;
  while (Count < 4 * (R.MaxDelay() + 1)) Count *= 2;
  const std::vector<TResponse::TBin> Bins = R.Bins(Count);
  std::vector<double> Xs, Db, Delay;
  double PeakDb = kFloorDb;
  const auto Add = [&](double F, TComplex H, double GroupDelay) {
    Xs.push_back(X(F));
    Db.push_back(GainDb(std::abs(H)));
    Delay.push_back(GroupDelay);
    PeakDb = std::max(PeakDb, Db.back());
  };
  const double BinWidth = Nyquist / Count;
  for (int32_t I = 0, K = int32_t(std::ceil(First / BinWidth)); I < Samples || K <= Count;) {
    const double F = I < Samples ? First * std::pow(10.0, LogSpan * I / (Samples - 1)) : INFINITY;
    if (K <= Count && K * BinWidth < F) {
      Add(K * BinWidth, Bins[size_t(K)].H, Bins[size_t(K)].Delay);
      ++K;
    } else {
      Add(F, R.At(F), R.GroupDelay(F));
      ++I;
    }
  }
  // Group delay only where the filter lets something through, as it is
  // meaningless noise in a deep stopband.
  double DelayLow = INFINITY, DelayHigh = -INFINITY;
  for (size_t I = 0; I < Delay.size(); ++I) {
    if (Db[I] < PeakDb - 60) Delay[I] = NAN;
    if (std::isnan(Delay[I])) continue;
    DelayLow = std::min(DelayLow, Delay[I]);
    DelayHigh = std::max(DelayHigh, Delay[I]);
  }
  if (!(DelayLow <= DelayHigh)) DelayLow = DelayHigh = 0;
  if (DelayHigh - DelayLow < 2) {
    const double Mid = std::round((DelayLow + DelayHigh) / 2);
    DelayLow = Mid - 1;
    DelayHigh = Mid + 1;
  }
  const double DelayStep = RoundStep(DelayHigh - DelayLow, 4);
  DelayLow = DelayStep * std::floor(DelayLow / DelayStep);
  DelayHigh = DelayStep * std::ceil(DelayHigh / DelayStep);
  std::vector<double> DelayXs = Xs;
  Decimate(Xs, Db);
  Decimate(DelayXs, Delay);
  const double TopDb = 10 * std::floor(PeakDb / 10 + 0.1) + 10;
  const TPanel Magnitude{70, 300, TopDb - kSpanDb, TopDb};
  const TPanel Delays{430, 130, DelayLow, DelayHigh};

  std::string Svg = Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\"", kWidth) +
                    Format(" height=\"%g\"", kHeight) +
                    " font-family=\"sans-serif\" font-size=\"12\">\n"
                    "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  // A long title goes on two lines, broken after a comma.
  std::string Head = Title, Tail;
  if (const size_t Comma = Title.rfind(", ", 90); Title.size() > 90 && Comma != std::string::npos) {
    Head = Title.substr(0, Comma + 1);
    Tail = Title.substr(Comma + 2);
  }
  Svg += "<text x=\"" + Format("%g", kLeft) + "\" y=\"22\" font-size=\"14\">" + Escaped(Head) +
         "</text>\n";
  if (!Tail.empty())
    Svg += "<text x=\"" + Format("%g", kLeft) + "\" y=\"40\" font-size=\"14\">" + Escaped(Tail) +
           "</text>\n";
  const auto Line = [](double X1, double Y1, double X2, double Y2, const char* Colour) {
    return Format("<line x1=\"%.1f\"", X1) + Format(" y1=\"%.1f\"", Y1) +
           Format(" x2=\"%.1f\"", X2) + Format(" y2=\"%.1f\"", Y2) + " stroke=\"" + Colour + "\"/>\n";
  };
  const auto Label = [](double X, double Y, const char* Anchor, const std::string& Text) {
    return Format("<text x=\"%.1f\"", X) + Format(" y=\"%.1f\"", Y) + " text-anchor=\"" + Anchor +
           "\">" + Escaped(Text) + "</text>\n";
  };
  for (const TPanel* P : {&Magnitude, &Delays}) {
    // Frequency grid: every 1 to 9 of each decade, labels at 1, 2 and 5.
    for (double Decade = First; Decade < Nyquist; Decade *= 10) {
      for (int M = 1; M <= 9 && M * Decade <= Nyquist; ++M) {
        Svg += Line(X(M * Decade), P->Top, X(M * Decade), P->Top + P->Height, M == 1 ? "#bbb" : "#e4e4e4");
        if (M == 1 || M == 2 || M == 5)
          Svg += Label(X(M * Decade), P->Top + P->Height + 16, "middle", FrequencyLabel(M * Decade));
      }
    }
    Svg += Format("<rect x=\"%g\"", kLeft) + Format(" y=\"%g\"", P->Top) +
           Format(" width=\"%g\"", kRight - kLeft) + Format(" height=\"%g\"", P->Height) +
           " fill=\"none\" stroke=\"black\"/>\n";
  }
  for (double V = 20 * std::ceil(Magnitude.Low / 20); V <= Magnitude.High; V += 20) {
    Svg += Line(kLeft, Magnitude.Y(V), kRight, Magnitude.Y(V), "#ccc");
    Svg += Label(kLeft - 6, Magnitude.Y(V) + 4, "end", Format("%g", V));
  }
  for (double V = Delays.Low; V <= Delays.High + DelayStep / 2; V += DelayStep) {
    Svg += Line(kLeft, Delays.Y(V), kRight, Delays.Y(V), "#ccc");
    Svg += Label(kLeft - 6, Delays.Y(V) + 4, "end", Format("%g", std::abs(V) < DelayStep / 2 ? 0 : V));
  }
  Svg += Label(kLeft, Magnitude.Top - 8, "start", "Magnitude (dB)");
  Svg += Label(kLeft, Delays.Top - 8, "start", "Group delay (frames)");
  Svg += Label((kLeft + kRight) / 2, Delays.Top + Delays.Height + 38, "middle", "Frequency (Hz)");
  Svg += Curve(Xs, Db, Magnitude, "#1f5fbf");
  Svg += Curve(DelayXs, Delay, Delays, "#c0501f");
  return Svg + "</svg>\n";
}

}  // namespace kestrum
